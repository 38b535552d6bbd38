// The pairing link "torvo://pair?v=1&r=…&t=…&i=…&k=…&n=…" that the computer shows once: the
// relay, the topic, the key id, the 256-bit key and the computer's name. `parsePairingLink`
// reads it with the same rules and in the same order as the computer's side and returns
// { pairing } or { error: { kind, item } }. Also the strict URL reader those rules need
// (JavaScript's URL repairs what it should refuse). Pure; no DOM.

import { base64URLDecode, isValidKeyID } from './envelope.js';
import { graphemeCount, percentDecode, utf8Length } from './text.js';

export const maxLinkBytes = 1024;
export const maxNameLength = 64;

const isAlpha = (c) => /^[A-Za-z]$/.test(c);
const isUnreserved = (c) => /^[A-Za-z0-9\-._~]$/.test(c);
const isSubDelim = (c) => "!$&'()*+,;=".includes(c) && c.length === 1;
const isPChar = (c) => isUnreserved(c) || isSubDelim(c) || c === ':' || c === '@';

// True when every character is allowed or starts a complete %XX escape.
function validComponent(text, allowed) {
  for (let i = 0; i < text.length; i += 1) {
    if (text[i] === '%') {
      if (i + 2 >= text.length || !/^[0-9A-Fa-f]{2}$/.test(text.slice(i + 1, i + 3))) return false;
      i += 2;
    } else if (!allowed(text[i])) {
      return false;
    }
  }
  return true;
}

function validHost(host) {
  if (host.startsWith('[')) {
    if (host.length < 3 || !host.endsWith(']')) return false;
    return [...host.slice(1, -1)].every((c) => isUnreserved(c) || isSubDelim(c) || c === ':');
  }
  return validComponent(host, (c) => isUnreserved(c) || isSubDelim(c));
}

// An absolute URL (RFC 3986) with its parts left percent-encoded, or null.
export function parseURL(text) {
  const colon = text.indexOf(':');
  if (colon <= 0 || !isAlpha(text[0])) return null;
  const url = { scheme: text.slice(0, colon), host: null, port: '', path: '', query: null, fragment: null };
  if (!/^[A-Za-z0-9+.-]+$/.test(url.scheme)) return null;
  let rest = text.slice(colon + 1);
  const hash = rest.indexOf('#');
  if (hash >= 0) {
    url.fragment = rest.slice(hash + 1);
    if (!validComponent(url.fragment, (c) => isPChar(c) || c === '/' || c === '?')) return null;
    rest = rest.slice(0, hash);
  }
  const question = rest.indexOf('?');
  if (question >= 0) {
    url.query = rest.slice(question + 1);
    if (!validComponent(url.query, (c) => isPChar(c) || c === '/' || c === '?')) return null;
    rest = rest.slice(0, question);
  }
  if (rest.startsWith('//')) {
    rest = rest.slice(2);
    const slash = rest.indexOf('/');
    let authority = slash >= 0 ? rest.slice(0, slash) : rest;
    rest = slash >= 0 ? rest.slice(slash) : '';
    const at = authority.lastIndexOf('@');
    if (at >= 0) {
      if (!validComponent(authority.slice(0, at), (c) => isUnreserved(c) || isSubDelim(c) || c === ':')) return null;
      authority = authority.slice(at + 1);
    }
    const bracket = authority.lastIndexOf(']');
    const portColon = authority.lastIndexOf(':');
    let host = authority;
    if (portColon >= 0 && (bracket < 0 || portColon > bracket)) {
      url.port = authority.slice(portColon + 1);
      if (!/^[0-9]*$/.test(url.port)) return null;
      host = authority.slice(0, portColon);
    }
    if (!validHost(host)) return null;
    url.host = host;
  }
  if (!validComponent(rest, (c) => isPChar(c) || c === '/')) return null;
  url.path = rest;
  return url;
}

// An http or https URL with a host.
export function isRelayURL(text) {
  const url = parseURL(text);
  return url !== null && ['http', 'https'].includes(url.scheme.toLowerCase()) && Boolean(url.host);
}

export function isValidTopic(topic) {
  return /^rr-[a-z0-9]{24}$/.test(topic);
}

// Tab to carriage return, NEL and the separator categories.
const edgeSpace = /^[\t-\r\u0085\p{Zs}\p{Zl}\p{Zp}]+|[\t-\r\u0085\p{Zs}\p{Zl}\p{Zp}]+$/gu;

// Query items by name, the first occurrence winning; values percent-decoded (empty when that
// fails), names as written.
function queryItems(query) {
  const items = new Map();
  for (const piece of query.split('&')) {
    if (piece === '') continue;
    const eq = piece.indexOf('=');
    const itemName = eq >= 0 ? piece.slice(0, eq) : piece;
    const raw = eq >= 0 ? piece.slice(eq + 1) : '';
    if (!items.has(itemName)) items.set(itemName, percentDecode(raw) ?? '');
  }
  return items;
}

const failure = (kind, item) => ({ error: item === undefined ? { kind } : { kind, item } });

// { pairing: { relay, topic, keyID, keyData, macName } } or { error }.
export function parsePairingLink(text) {
  if (utf8Length(text) > maxLinkBytes) return failure('notPairingURL');
  const url = parseURL(text.replace(edgeSpace, ''));
  if (url === null || url.scheme.toLowerCase() !== 'torvo' || url.host === null || url.host.toLowerCase() !== 'pair') {
    return failure('notPairingURL');
  }
  const items = queryItems(url.query ?? '');
  if (!items.has('v')) return failure('missing', 'v');
  if (items.get('v') !== '1') return { error: { kind: 'unsupportedVersion', version: items.get('v') } };
  const relay = items.get('r');
  if (!relay) return failure('missing', 'r');
  if (!isRelayURL(relay)) return failure('invalid', 'r');
  if (!items.has('t')) return failure('missing', 't');
  const topic = items.get('t');
  if (!isValidTopic(topic)) return failure('invalid', 't');
  if (!items.has('i')) return failure('missing', 'i');
  const keyID = items.get('i');
  if (!isValidKeyID(keyID)) return failure('invalid', 'i');
  if (!items.has('k')) return failure('missing', 'k');
  const keyData = base64URLDecode(items.get('k'));
  if (keyData === null || keyData.length !== 32) return failure('invalid', 'k');
  const macName = items.get('n') ?? '';
  if (graphemeCount(macName) > maxNameLength) return failure('invalid', 'n');
  return { pairing: { relay, topic, keyID, keyData, macName: macName === '' ? 'Mac' : macName } };
}

// A sentence for the person holding the phone.
export function describePairingError(error) {
  switch (error.kind) {
    case 'unsupportedVersion':
      return `This pairing link has version ${error.version}, which this page does not read. Update the page.`;
    case 'missing':
      return `This pairing link is incomplete (it has no "${error.item}"). Scan the code again.`;
    case 'invalid':
      return `This pairing link's "${error.item}" is not valid. Scan the code again.`;
    default:
      return 'This is not a pairing link. Scan the code that "torvo-ctl pair --web" shows.';
  }
}
