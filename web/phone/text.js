// Text rules of the phone protocol: lengths in user-perceived characters (extended grapheme
// clusters), UTF-8 byte counts, the percent-encoding of the pairing link and the cleaning of
// names shown or sent. Pure functions without the DOM, so node can test them.

const segmenter = new Intl.Segmenter(undefined, { granularity: 'grapheme' });
const encoder = new TextEncoder();
const strictDecoder = new TextDecoder('utf-8', { fatal: true });

// The text with every lone surrogate replaced by U+FFFD, as it would travel in UTF-8.
export function wellFormed(text) {
  return new TextDecoder().decode(encoder.encode(text));
}

export function utf8Bytes(text) {
  return encoder.encode(text);
}

export function utf8Length(text) {
  return encoder.encode(text).length;
}

// The UTF-8 bytes as text, or null when they are not valid UTF-8.
export function utf8Text(bytes) {
  try {
    return strictDecoder.decode(bytes);
  } catch {
    return null;
  }
}

export function graphemeCount(text) {
  let count = 0;
  for (const _ of segmenter.segment(text)) count += 1;
  return count;
}

export function graphemePrefix(text, count) {
  let out = '';
  let n = 0;
  for (const { segment } of segmenter.segment(text)) {
    if (n === count) break;
    out += segment;
    n += 1;
  }
  return out;
}

const unreserved = /^[A-Za-z0-9\-._~]$/;

// Every byte of the UTF-8 form outside the RFC 3986 unreserved set as %XX (upper-case hex).
export function percentEncode(text) {
  let out = '';
  for (const byte of encoder.encode(text)) {
    const c = String.fromCharCode(byte);
    out += byte < 0x80 && unreserved.test(c) ? c : '%' + byte.toString(16).toUpperCase().padStart(2, '0');
  }
  return out;
}

// Decodes %XX escapes; null when an escape is incomplete or not hexadecimal, or when the bytes
// are not valid UTF-8. "+" stays "+".
export function percentDecode(text) {
  const bytes = [];
  const raw = encoder.encode(text);
  for (let i = 0; i < raw.length; i += 1) {
    if (raw[i] !== 0x25) {
      bytes.push(raw[i]);
      continue;
    }
    const hex = String.fromCharCode(raw[i + 1] ?? 0, raw[i + 2] ?? 0);
    if (i + 2 >= raw.length || !/^[0-9A-Fa-f]{2}$/.test(hex)) return null;
    bytes.push(parseInt(hex, 16));
    i += 2;
  }
  return utf8Text(new Uint8Array(bytes));
}

const controlOrFormat = /[\p{Cc}\p{Cf}]/gu;
const separators = /^[\p{Zs}\p{Zl}\p{Zp}]+|[\p{Zs}\p{Zl}\p{Zp}]+$/gu;

// A name from outside made safe to show or send: control and format characters removed,
// separators trimmed from both ends, cut to `max` characters; `fallback` when nothing is left.
export function cleanName(text, max, fallback) {
  const result = graphemePrefix(wellFormed(String(text ?? '')).replace(controlOrFormat, '').replace(separators, ''), max);
  return result === '' ? fallback : result;
}
