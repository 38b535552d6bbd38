// What the web phone's card says: times in the phone's zone with the computer's clock beside
// them when it differs, the weekday for another day, and the waiting line of a sent command.
import assert from 'node:assert/strict';
import { test } from 'node:test';

import { describeAck, describeState, pendingText, timeText } from '../../web/phone/present.js';

const now = Date.UTC(2026, 5, 10, 12, 0) / 1000; // Wednesday 10 June 2026, 12:00 UTC
const report = {
  type: 'state', id: 's', ts: now, state: 'awake', awakeUntil: now + 2 * 3600, battery: 80, charging: false,
  onCharger: true, lastCheckIn: now - 60, nextCheckIn: now + 15 * 60, mac: 'Desk', tz: 'Europe/Berlin',
  config: { checkInMinutes: 30, awakeHoursDefault: 3 },
};

test('times in the phone zone, the computer clock beside them only when it differs', () => {
  const cases = [
    [{ phoneZone: 'UTC', macZone: 'Europe/Berlin' }, now, '12:00 (14:00 Europe/Berlin)'],
    [{ phoneZone: 'Europe/Paris', macZone: 'Europe/Berlin' }, now, '14:00'],
    [{ phoneZone: 'UTC', macZone: '' }, now, '12:00'],
    [{ phoneZone: 'UTC', macZone: 'Not/AZone' }, now, '12:00'],
    [{ phoneZone: 'UTC', macZone: 'UTC' }, now + 13 * 3600, 'Thu 01:00'],
    [{ phoneZone: 'America/New_York', macZone: 'Asia/Tokyo' }, now, '08:00 (21:00 Asia/Tokyo)'],
  ];
  for (const [zones, at, expected] of cases) assert.equal(timeText(at, { now, ...zones }), expected, JSON.stringify(zones));
});

test('the card of a report and of none', () => {
  const view = describeState(report, { now, phoneZone: 'UTC', macName: 'from link' });
  assert.equal(view.headline, 'Awake until 14:00 (16:00 Europe/Berlin)');
  assert.equal(view.mac, 'Desk');
  assert.equal(view.battery, '80%, on charger');
  assert.equal(view.interval, 'every 30 min');
  const asleep = describeState({ ...report, state: 'asleep', awakeUntil: undefined, battery: undefined, nextCheckIn: undefined },
    { now, phoneZone: 'Europe/Berlin', macName: 'x' });
  assert.deepEqual([asleep.headline, asleep.battery, asleep.nextCheckIn], ['Asleep', 'No battery, on power', 'none']);
  assert.equal(describeState(null, { now, phoneZone: 'UTC', macName: 'Desk' }).mac, 'Desk');
});

test('a waiting command names the next check-in while it lies ahead', () => {
  const ahead = pendingText(report, { now, phoneZone: 'UTC', macName: 'Desk', verb: 'End' });
  assert.match(ahead, /^End sent\. Waiting for Desk's next check-in at 12:15 \(14:15 Europe\/Berlin\)/);
  const overdue = pendingText({ ...report, nextCheckIn: now - 60 }, { now, phoneZone: 'UTC', macName: 'Desk', verb: 'End' });
  assert.equal(overdue, 'End sent. Waiting for Desk to check in (it may be asleep).');
  assert.equal(pendingText(null, { now, phoneZone: 'UTC', macName: 'Desk', verb: 'Wake for 2 h' }),
    'Wake for 2 h sent. Waiting for Desk to check in (it may be asleep).');
  assert.deepEqual(describeAck({ ok: false, note: 'Nothing to end.' }), { text: 'Refused: Nothing to end.', ok: false });
});
