# -*- coding: utf-8 -*-

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
]] + [
    # Left by an earlier rollout that reached the host this one did not.
    {'rollout': BEFORE, 'host': 'late', 'result': {'results': [device('0000:05:00.0', '1.0.0', '2.0.0', 'flashed')]}},
]


class FleetTest(unittest.TestCase):
    def test_rows_follow_the_rollout_order_and_name_every_host(self):
        summary = fleet_summary(SAVED, ['locked', 'dual', 'bare', 'late'])
        self.assertEqual([(r['host'], r['address'], r['outcome']) for r in summary['rows']], [
            ('locked', '', 'failed'),
            ('dual', '0000:05:00.0', 'flashed'),
            ('dual', '0000:81:00.0', 'failed'),
            ('bare', '', 'no adapter'),
            ('late', '', 'not reached'),
            ('stray', '0000:05:00.0', 'unchanged'),  # a result for a host outside the list
        ])
        self.assertEqual(summary['rows'][0]['reason'], 'vexor: another vexor run (pid 7) is using the adapters')
        self.assertEqual(summary['counts'], {'failed': 2, 'flashed': 1, 'no adapter': 1, 'not reached': 1,
                                             'unchanged': 1})
        self.assertEqual((summary['hosts'], summary['rollout']), (5, NOW))

    def test_csv_reads_back(self):
        rows = fleet_summary(SAVED, ['dual'])['rows']
        back = list(csv.DictReader(io.StringIO(fleet_csv(rows))))
        self.assertEqual(len(back), len(rows))
        self.assertEqual(back[1]['reason'], 'runs 1.0.0')
        self.assertEqual(back[0]['target'], '2.0.0')
        self.assertEqual(back[2]['target'], '')  # None is an empty cell

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
            'failed: dual 0000:81:00.0: runs 1.0.0'])


if __name__ == '__main__':
    unittest.main()
