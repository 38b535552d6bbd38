// The web phone's protocol modules against the computer's side: the kit's helper
// (protocol_vectors, named by TORVO_PROTOCOL_VECTORS) seals records, reads pairing links and
// record texts, and opens what the page seals; both sides must agree on every text.
import assert from 'node:assert/strict';
import { execFileSync } from 'node:child_process';
import { describe, test } from 'node:test';

import { base64URLDecode, base64URLEncode, open, parse, seal } from '../../web/phone/envelope.js';
import { decode, encode } from '../../web/phone/messages.js';
import { parsePairingLink } from '../../web/phone/pairing.js';
import { newCommand, openEvent, sealCommand } from '../../web/phone/protocol.js';
import { parseEvents, pollURL, streamURL, topicURL } from '../../web/phone/relay.js';
import { cleanName, graphemeCount, percentEncode } from '../../web/phone/text.js';

const helper = process.env.TORVO_PROTOCOL_VECTORS;
const kit = helper ? JSON.parse(execFileSync(helper, ['make'], { encoding: 'utf8' })) : null;
const needsKit = { skip: helper ? false : 'TORVO_PROTOCOL_VECTORS is not set' };
const utf8 = (text) => new TextEncoder().encode(text);

// The page's reading of a record text in the helper's terms.
function readRecord(text) {
  const decoded = decode(utf8(text));
  if (!decoded.error) return { json: encode(decoded.message) };
  const { kind } = decoded.error;
  if (kind === 'unsupportedVersion') return { error: `${kind} ${decoded.error.version}` };
  if (kind === 'unknownType') return { error: `${kind} ${decoded.error.type}` };
  if (kind === 'outOfBounds') return { error: `${kind} ${decoded.error.key}` };
  return { error: 'json' };
}

describe('against the kit', needsKit, () => {
  const pairing = () => ({ keyID: kit.kid, keyData: base64URLDecode(kit.key) });

  test('envelopes the kit sealed open to the same plaintext', async () => {
    for (const { text, plaintext } of kit.sealed) {
      const opened = await open(text, pairing().keyData, kit.kid);
      assert.equal(new TextDecoder().decode(opened.plaintext), plaintext);
    }
  });

  test('with the kit nonce the page seals the same text', async () => {
    const nonce = Uint8Array.from({ length: 12 }, (_, i) => i + 1);
    for (const { text, plaintext } of kit.sealed) {
      const sealed = await seal(utf8(plaintext), pairing().keyData, kit.kid, nonce);
      assert.equal(sealed.text, text);
    }
  });

  test('only state reports and acks sealed for the pairing reach the page', async () => {
    const received = [];
    for (const { text } of kit.sealed) {
      const r = await openEvent(pairing(), { id: 'e', time: 1, event: 'message', message: text });
      if (r) received.push(r.message.type);
    }
    assert.deepEqual(received, ['state', 'ack', 'ack'], 'the command travelling the wrong way is left out');
    const otherKid = { ...pairing(), keyID: 'zzzzzzzzzz' };
    assert.equal(await openEvent(otherKid, { id: 'e', time: 1, event: 'message', message: kit.sealed[0].text }), null);
  });

  test('the kit opens what the page seals, and refuses what was altered', async () => {
    const records = [
      newCommand('wake', { from: 'Anna\u2019s phone / \u{1F4F1}', hours: 2 }),
      newCommand('wake', { from: 'p' }),
      newCommand('status', { from: '' }),
      newCommand('end', { from: ' phone\u0007 ' }),
      newCommand('config', { from: 'p', checkInMinutes: 30 }),
    ];
    const lines = [];
    for (const record of records) lines.push(await sealCommand(pairing(), record));
    const tampered = lines[0].replace(`.${kit.kid}.`, '.zzzzzzzzzz.');
    const flipped = lines[1].slice(0, -2) + (lines[1].at(-2) === 'A' ? 'B' : 'A') + lines[1].at(-1);
    const out = execFileSync(helper, ['open', kit.key, kit.kid], { input: [...lines, tampered, flipped].join('\n') + '\n', encoding: 'utf8' })
      .trimEnd()
      .split('\n');
    assert.deepEqual(out.slice(0, records.length), records.map((r) => `ok ${encode(r)}`));
    assert.deepEqual(out.slice(records.length), ['error unknownKey', 'error cannotDecrypt']);
    assert.match(encode(records[0]), /^\{"from":"Anna’s phone \/ 📱","hours":2,"id":"[0-9a-f-]{36}","ts":\d+,"type":"wake","v":2\}$/);
    assert.equal(records[2].from, 'phone', 'an empty name is sent as "phone"');
    assert.equal(records[3].from, 'phone', 'control characters and edge spaces are removed');
  });

  test('pairing links read the same on both sides', () => {
    for (const { link, result } of kit.pairings) {
      const parsed = parsePairingLink(link);
      const page = parsed.error
        ? { error: parsed.error.kind, item: parsed.error.item ?? parsed.error.version ?? '' }
        : { ...parsed.pairing, key: base64URLEncode(parsed.pairing.keyData), keyData: undefined };
      delete page.keyData;
      assert.deepEqual(page, result, link);
    }
  });

  test('record texts read the same on both sides, bounds and errors included', () => {
    for (const { text, result } of kit.records) assert.deepEqual(readRecord(text), result, text);
  });
});

test('envelope text checks run in order', () => {
  const valid = `rr1.abcdefghij.${base64URLEncode(new Uint8Array(29))}`;
  const cases = [
    [valid, undefined],
    [`rr1.abcdefghij.${base64URLEncode(new Uint8Array(28))}`, 'malformed'],
    ['rr1.abcdefghij', 'notProtocolMessage'],
    ['rr2.abcdefghij.AAAA', 'notProtocolMessage'],
    ['rr1..AAAA', 'malformed'],
    ['rr1.ABCDEFGHIJ.AAAA', 'malformed'],
    [`${valid}=`, 'malformed'],
    [`rr1.abcdefghij.${'A'.repeat(41)}`, 'malformed'],
    [`rr1.${'x'.repeat(4093)}`, 'tooLarge'],
    [`rr1.abcdefghij.${'\u00e9'.repeat(2041)}`, 'tooLarge'],
  ];
  for (const [text, error] of cases) assert.equal(parse(text).error, error, text.slice(0, 40));
});

test('a Wake outside 1 to 24 hours is not built, and every record is fresh', () => {
  for (const hours of [0, 25, 1.5]) assert.throws(() => newCommand('wake', { from: 'p', hours }), RangeError);
  const a = newCommand('status', { from: 'p', now: 1_700_000_000_999 });
  const b = newCommand('status', { from: 'p', now: 1_700_000_000_999 });
  assert.notEqual(a.id, b.id);
  assert.equal(a.ts, 1_700_000_000);
  assert.match(a.id, /^[0-9a-f]{8}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{12}$/);
});

test('a phone does not seal state reports or acks', async () => {
  const pairing = { keyID: 'abcdefghij', keyData: new Uint8Array(32) };
  await assert.rejects(sealCommand(pairing, { type: 'ack', id: 'x', ts: 1, forID: 'y', ok: true }));
});

test('names and lengths count user-perceived characters', () => {
  assert.equal(graphemeCount('\u{1F468}\u200D\u{1F469}\u200D\u{1F467}e\u0301'), 2);
  assert.equal(cleanName('  \u200Bab\u0000c\u2028 ', 64, 'x'), 'abc');
  assert.equal(cleanName('\u{1F600}'.repeat(70), 64, 'x'), '\u{1F600}'.repeat(64));
  assert.equal(cleanName('\u0007', 64, 'fallback'), 'fallback');
  assert.equal(percentEncode("a b'/:é"), 'a%20b%27%2F%3A%C3%A9');
});

test('relay addresses and event lines', () => {
  assert.equal(topicURL('https://r.example/base/', 'rr-t'), 'https://r.example/base/rr-t');
  assert.equal(pollURL('http://r', 't', { unix: 500 }), 'http://r/t/json?poll=1&since=500');
  assert.equal(pollURL('http://r', 't', 'all'), 'http://r/t/json?poll=1&since=all');
  assert.equal(streamURL('http://r', 't'), 'http://r/t/json');
  assert.equal(streamURL('http://r', 't', { id: 'abc' }), 'http://r/t/json?since=abc');
  const body = [
    '{"id":"o","time":1,"event":"open"}',
    '',
    'garbage',
    ' \t{"id":"a","time":2,"event":"message","message":"one"}',
    '{"id":"x","event":"message","message":"no time"}',
    '{"id":"b","time":3,"event":"message","message":"two"}',
    '{"id":"k","time":4,"event":"keepalive"}',
  ].join('\r\n');
  const events = parseEvents(body).filter((e) => e.event === 'message');
  assert.deepEqual(events.map((e) => [e.id, e.message]), [['a', 'one'], ['b', 'two']]);
});
