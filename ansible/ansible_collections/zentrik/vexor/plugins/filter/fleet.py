# -*- coding: utf-8 -*-
# Copyright: the vexor developers
# SPDX-License-Identifier: MIT
# The fleet summary of a rollout, built on the controller from the per-host
# results that the rollout keeps.

import csv
import io


COLUMNS = ('host', 'address', 'interface', 'psid', 'from', 'to', 'target', 'outcome', 'reason')
TABLE_COLUMNS = ('host', 'address', 'from', 'to', 'outcome')
# What a spreadsheet takes for the start of a formula.
FORMULA_STARTS = ('=', '+', '-', '@', '\t', '\r')


def _row(host, outcome, reason='', result=None):
    row = {c: '' for c in COLUMNS}
    for key in COLUMNS:
        if result and result.get(key) is not None:
            row[key] = result[key]
    row.update(host=host, outcome=outcome, reason=reason or row['reason'])
    return row


def _checked(row, check):
    """A row of a flashed or pending device after the check that followed a
    reboot: flashed when the device runs its target, failed otherwise."""
    if row['outcome'] not in ('flashed', 'pending'):
        return row
    unmet = {u['address']: u for u in check.get('unmet') or []}
    runs = {d['address']: d['installed'] for d in check.get('devices') or []}
    if row['address'] in unmet:
        return dict(row, outcome='failed', to=unmet[row['address']]['runs'] or '',
                    reason='after the reboot: ' + unmet[row['address']]['reason'])
    if row['address'] in runs:
        return dict(row, outcome='flashed', to=runs[row['address']])
    return dict(row, outcome='failed', reason='the check after the reboot failed: ' + check.get('msg', 'no reason given'))


def host_rows(host, saved):
    """The rows of one host; saved is what the rollout kept for it, or None."""
    if saved is None:
        return [_row(host, 'not reached')]
    result = saved.get('result') or {}
    if result.get('host_unreachable'):
        return [_row(host, 'unreachable', result.get('msg'))]
    results = result.get('results')
    if results is None:
        # The task ended before any device was looked at (or never ran).
        return [_row(host, 'failed', result.get('msg', 'no result'))]
    if not results:
        return [_row(host, 'no adapter')]
    rows = [_row(host, r['outcome'], result=r) for r in results]
    if 'check' in saved:
        rows = [_checked(row, saved['check']) for row in rows]
    return rows


def fleet_summary(saved, hosts):
    """{rollout, hosts, counts, rows}: rows in the order of hosts, then hosts
    that have a result but are not listed; counts of the rows per outcome.
    Only the results of the latest rollout count: a host it did not reach
    has no row of an earlier one."""
    latest = max([s.get('rollout') or '' for s in saved] or [''])
    by_host = {s['host']: s for s in saved if (s.get('rollout') or '') == latest}
    order = list(hosts) + sorted(h for h in by_host if h not in hosts)
    rows = []
    for host in order:
        rows.extend(host_rows(host, by_host.get(host)))
    counts = {}
    for row in rows:
        counts[row['outcome']] = counts.get(row['outcome'], 0) + 1
    return {'rollout': latest or None, 'hosts': len(order), 'counts': counts, 'rows': rows}


def _cell(value):
    """A CSV cell that a spreadsheet shows as text, never runs as a formula."""
    text = str(value)
    return "'" + text if text.startswith(FORMULA_STARTS) else text


def fleet_csv(rows):
    """The rows as CSV with the line ends of RFC 4180, so that a cell holding
    a line end of either kind is quoted."""
    out = io.StringIO()
    writer = csv.DictWriter(out, fieldnames=COLUMNS, extrasaction='ignore', lineterminator='\r\n')
    writer.writeheader()
    writer.writerows({k: _cell(v) for k, v in row.items()} for row in rows)
    return out.getvalue()


def fleet_table(rows, reasons=False):
    """A plain-text table of host, address, from, to and outcome; '-' for an
    empty cell. With reasons, a line for each failed or unreachable row
    follows: why."""
    cells = [list(TABLE_COLUMNS)] + [[str(r.get(c) or '-') for c in TABLE_COLUMNS] for r in rows]
    widths = [max(len(line[i]) for line in cells) for i in range(len(TABLE_COLUMNS))]
    text = ''.join('  '.join(cell.ljust(w) for cell, w in zip(line, widths)).rstrip() + '\n' for line in cells)
    failed = [r for r in rows if r.get('outcome') in ('failed', 'unreachable')] if reasons else []
    if failed:
        text += '\n' + ''.join(
            f"{r['outcome']}: {r['host']} {r.get('address') or '-'}: {r.get('reason') or 'no reason given'}\n"
            for r in failed)
    return text


class FilterModule:
    def filters(self):
        return {
            'fleet_summary': fleet_summary,
            'fleet_csv': fleet_csv,
            'fleet_table': fleet_table,
        }
