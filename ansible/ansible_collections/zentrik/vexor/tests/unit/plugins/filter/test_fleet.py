# -*- coding: utf-8 -*-
# Copyright: the vexor developers
# SPDX-License-Identifier: MIT

import csv
import io
import unittest

from ansible_collections.zentrik.vexor.plugins.filter.fleet import fleet_csv, fleet_summary, fleet_table


def device(address, old, new, outcome, reason=None):
    r = {'address': address, 'interface': 'ib0', 'psid': 'P', 'from': old, 'to': new,
         'target': '2.0.0' if outcome in ('flashed', 'failed') else None, 'outcome': outcome, 'log': []}
    if reason:
        r['reason'] = reason
    return r


NOW, BEFORE = '2026-12-08T03:00:00.000000Z', '2026-12-01T03:00:00.000000Z'
SAVED = [dict(s, rollout=NOW) for s in [
    {'host': 'dual', 'result': {'results': [device('0000:05:00.0', '1.0.0', '2.0.0', 'flashed'),
                                            device('0000:81:00.0', '1.0.0', '1.0.0', 'failed', 'runs 1.0.0')]}},
    {'host': 'bare', 'result': {'results': [], 'devices': []}},
    {'host': 'locked', 'result': {'failed': True, 'msg': 'vexor: another vexor run (pid 7) is using the adapters'}},
    {'host': 'stray', 'result': {'results': [device('0000:05:00.0', '2.0.0', '2.0.0', 'unchanged')]}},
    {'host': 'gone', 'result': {'failed': True, 'host_unreachable': True, 'msg': 'the host cannot be reached: refused'}},
]] + [
    # Left by an earlier rollout that reached the host this one did not.
    {'rollout': BEFORE, 'host': 'late', 'result': {'results': [device('0000:05:00.0', '1.0.0', '2.0.0', 'flashed')]}},
]


class FleetTest(unittest.TestCase):
    def test_rows_follow_the_rollout_order_and_name_every_host(self):
        summary = fleet_summary(SAVED, ['locked', 'dual', 'bare', 'late', 'gone'])
        self.assertEqual([(r['host'], r['address'], r['outcome']) for r in summary['rows']], [
            ('locked', '', 'failed'),
            ('dual', '0000:05:00.0', 'flashed'),
            ('dual', '0000:81:00.0', 'failed'),
            ('bare', '', 'no adapter'),
            ('late', '', 'not reached'),
            ('gone', '', 'unreachable'),
            ('stray', '0000:05:00.0', 'unchanged'),  # a result for a host outside the list
        ])
        self.assertEqual(summary['rows'][0]['reason'], 'vexor: another vexor run (pid 7) is using the adapters')
        self.assertEqual(summary['counts'], {'failed': 2, 'flashed': 1, 'no adapter': 1, 'not reached': 1,
                                             'unchanged': 1, 'unreachable': 1})
        self.assertEqual((summary['hosts'], summary['rollout']), (6, NOW))

    def test_the_check_after_a_reboot_decides_flashed_and_pending_devices(self):
        results = [device('0000:05:00.0', '1.0.0', '2.0.0', 'flashed'), device('0000:06:00.0', '1.0.0', '1.0.0', 'pending'),
                   device('0000:07:00.0', '1.0.0', '1.0.0', 'pending'), device('0000:08:00.0', '1.0.0', '1.0.0', 'skipped')]
        check = {'devices': [{'address': a, 'installed': v} for a, v in
                             (('0000:05:00.0', '2.0.0'), ('0000:06:00.0', '2.0.0'), ('0000:07:00.0', '1.0.0'),
                              ('0000:08:00.0', '1.0.0'))],
                 'unmet': [{'address': '0000:07:00.0', 'expected': '2.0.0', 'runs': '1.0.0',
                            'reason': '0000:07:00.0 runs 1.0.0, not 2.0.0'}]}
        failed_check = {'failed': True, 'msg': 'vexor: the firmware catalog is missing', 'unmet': []}
        cases = [
            # (check kept after the reboot) -> (to, outcome) per device
            (check, [('2.0.0', 'flashed'), ('2.0.0', 'flashed'), ('1.0.0', 'failed'), ('1.0.0', 'skipped')]),
            (failed_check, [('2.0.0', 'failed'), ('1.0.0', 'failed'), ('1.0.0', 'failed'), ('1.0.0', 'skipped')]),
            (None, [('2.0.0', 'flashed'), ('1.0.0', 'pending'), ('1.0.0', 'pending'), ('1.0.0', 'skipped')]),
        ]
        for kept, expected in cases:
            with self.subTest(check=kept):
                saved = {'rollout': NOW, 'host': 'h', 'result': {'results': results}}
                if kept is not None:
                    saved['check'] = kept
                rows = fleet_summary([saved], ['h'])['rows']
                self.assertEqual([(r['to'], r['outcome']) for r in rows], expected)
        rows = fleet_summary([{'rollout': NOW, 'host': 'h', 'result': {'results': results}, 'check': check}], ['h'])['rows']
        self.assertEqual(rows[2]['reason'], 'after the reboot: 0000:07:00.0 runs 1.0.0, not 2.0.0')

    def test_csv_reads_back(self):
        rows = fleet_summary(SAVED, ['dual'])['rows']
        back = list(csv.DictReader(io.StringIO(fleet_csv(rows))))
        self.assertEqual(len(back), len(rows))
        self.assertEqual(back[1]['reason'], 'runs 1.0.0')
        self.assertEqual(back[0]['target'], '2.0.0')
        self.assertEqual(back[2]['target'], '')  # None is an empty cell

    def test_csv_cells_never_start_a_formula(self):
        for text in ('=HYPERLINK("http://x")', '+1', '-1', '@SUM(A1)', '\tx', '\rx'):
            with self.subTest(text=text):
                row = dict(fleet_summary(SAVED, ['dual'])['rows'][0], psid=text, host=text)
                back, = csv.DictReader(io.StringIO(fleet_csv([row]), newline=''))
                self.assertEqual((back['psid'], back['host']), ("'" + text, "'" + text))

    def test_table_columns_line_up(self):
        lines = fleet_table(fleet_summary(SAVED, ['dual', 'late'])['rows']).splitlines()
        header = lines[0]
        starts = [header.index(name) for name in ('host', 'address', 'from', 'to ', 'outcome')]
        cells = [[line[a:b].strip() for a, b in zip(starts, starts[1:] + [None])] for line in lines]
        self.assertEqual(cells[0], ['host', 'address', 'from', 'to', 'outcome'])
        self.assertEqual(cells[2], ['dual', '0000:81:00.0', '1.0.0', '1.0.0', 'failed'])
        self.assertEqual(cells[3], ['late', '-', '-', '-', 'not reached'])
        for line in lines[1:]:
            self.assertTrue(all(line[i - 1] == ' ' and line[i] != ' ' for i in starts[1:]), line)

    def test_table_with_reasons_ends_with_each_failure(self):
        rows = fleet_summary(SAVED, ['locked', 'dual'])['rows']
        text = fleet_table(rows, reasons=True)
        self.assertTrue(text.startswith(fleet_table(rows) + '\n'))
        self.assertEqual(text[len(fleet_table(rows)) + 1:].splitlines(), [
            'failed: locked -: vexor: another vexor run (pid 7) is using the adapters',
            'failed: dual 0000:81:00.0: runs 1.0.0',
            'unreachable: gone -: the host cannot be reached: refused'])


if __name__ == '__main__':
    unittest.main()
