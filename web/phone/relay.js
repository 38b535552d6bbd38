// The client of a relay of the ntfy kind for one topic, over fetch: publish a line, poll what
// was published since a point, follow the topic as a stream of JSON lines. It knows nothing of
// envelopes. Relay answers outside 200-299 throw a RelayError carrying the status; transport
// failures throw fetch's own error. Also the readers of event lines. No DOM.

import { percentEncode } from './text.js';

export class RelayError extends Error {
  constructor(status) {
    super(`the relay answered HTTP ${status}`);
    this.status = status;
  }
}

const lineBreak = /\r\n|[\n\r\v\f\u0085\u2028\u2029]/;
const edgeSpace = /^[\t\p{Zs}]+|[\t\p{Zs}]+$/gu;

// One event line: { id, time, event, topic?, message? } or null.
export function parseEvent(line) {
  const trimmed = line.replace(edgeSpace, '');
  if (trimmed === '') return null;
  let o;
  try {
    o = JSON.parse(trimmed);
  } catch {
    return null;
  }
  if (o === null || typeof o !== 'object' || typeof o.id !== 'string' || typeof o.event !== 'string') return null;
  if (typeof o.time !== 'number' || !Number.isInteger(o.time)) return null;
  if ((o.topic != null && typeof o.topic !== 'string') || (o.message != null && typeof o.message !== 'string')) return null;
  const event = { id: o.id, time: o.time, event: o.event };
  if (o.topic != null) event.topic = o.topic;
  if (o.message != null) event.message = o.message;
  return event;
}

export function parseEvents(text) {
  return text.split(lineBreak).map(parseEvent).filter((e) => e !== null);
}

// Since values: { unix: seconds } | { id: text } | 'all'.
function sinceText(since) {
  if (since === 'all') return 'all';
  return since.id !== undefined ? since.id : String(since.unix);
}

export function topicURL(relay, topic) {
  return `${relay.replace(/\/+$/, '')}/${percentEncode(topic)}`;
}

export function pollURL(relay, topic, since) {
  return `${topicURL(relay, topic)}/json?poll=1&since=${percentEncode(sinceText(since))}`;
}

export function streamURL(relay, topic, since) {
  const url = `${topicURL(relay, topic)}/json`;
  return since === undefined ? url : `${url}?since=${percentEncode(sinceText(since))}`;
}

const requestOptions = { cache: 'no-store', credentials: 'omit' };

// Publishes one line; the relay's event id, or null when the answer is not an event.
export async function publish(relay, topic, text, { fetchImpl = fetch } = {}) {
  const response = await fetchImpl(topicURL(relay, topic), {
    ...requestOptions,
    method: 'POST',
    headers: { 'Content-Type': 'text/plain; charset=utf-8' },
    body: text,
    signal: AbortSignal.timeout(15000),
  });
  if (!response.ok) throw new RelayError(response.status);
  return parseEvent(await response.text())?.id ?? null;
}

// The message events since a point, in order.
export async function poll(relay, topic, since, { fetchImpl = fetch } = {}) {
  const response = await fetchImpl(pollURL(relay, topic, since), { ...requestOptions, signal: AbortSignal.timeout(20000) });
  if (!response.ok) throw new RelayError(response.status);
  return parseEvents(await response.text()).filter((e) => e.event === 'message');
}

// Follows the topic: calls onEvent for every message event until the relay closes the stream
// (resolves), it fails or stays silent for 90 s (rejects), or `signal` aborts (rejects with
// the abort reason).
export async function stream(relay, topic, since, onEvent, { signal, fetchImpl = fetch } = {}) {
  const idle = new AbortController();
  const abort = () => idle.abort(signal.reason);
  signal?.addEventListener('abort', abort, { once: true });
  let timer;
  const arm = () => {
    clearTimeout(timer);
    timer = setTimeout(() => idle.abort(new Error('the relay stream stayed silent for 90 s')), 90000);
  };
  try {
    arm();
    const response = await fetchImpl(streamURL(relay, topic, since), { ...requestOptions, signal: idle.signal });
    if (!response.ok) throw new RelayError(response.status);
    const reader = response.body.pipeThrough(new TextDecoderStream()).getReader();
    let buffer = '';
    for (;;) {
      const { value, done } = await reader.read();
      if (done) break;
      arm();
      buffer += value;
      const lines = buffer.split(lineBreak);
      buffer = lines.pop();
      for (const line of lines) {
        const event = parseEvent(line);
        if (event && event.event === 'message') await onEvent(event);
      }
    }
    const last = parseEvent(buffer);
    if (last && last.event === 'message') await onEvent(last);
  } finally {
    clearTimeout(timer);
    signal?.removeEventListener('abort', abort);
  }
}
