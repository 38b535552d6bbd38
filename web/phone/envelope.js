// The sealed envelope: the one line of text that carries a record across the relay,
// "rr1." + key id + "." + Base64URL(nonce, ciphertext, tag) under AES-256-GCM (WebCrypto) with
// the associated data "rr1." + key id, so a line whose key id was changed does not open.
// Failures are values: { error } with the names of the computer's side, in its check order.
// Pure apart from the random nonce; no DOM.

import { utf8Bytes, utf8Length } from './text.js';

export const version = 'rr1';
export const maxBodyBytes = 4096;
export const minSealedBytes = 29;
export const nonceBytes = 12;

export const EnvelopeError = Object.freeze({
  notProtocolMessage: 'notProtocolMessage',
  tooLarge: 'tooLarge',
  malformed: 'malformed',
  unknownKey: 'unknownKey',
  cannotDecrypt: 'cannotDecrypt',
});

// Exactly 10 characters, each a to z or 0 to 9.
export function isValidKeyID(text) {
  return typeof text === 'string' && /^[a-z0-9]{10}$/.test(text);
}

export function base64URLEncode(bytes) {
  let binary = '';
  for (const b of bytes) binary += String.fromCharCode(b);
  return btoa(binary).replaceAll('+', '-').replaceAll('/', '_').replaceAll('=', '');
}

// The bytes, or null for anything but unpadded Base64URL.
export function base64URLDecode(text) {
  if (!/^[A-Za-z0-9_-]*$/.test(text) || text.length % 4 === 1) return null;
  const standard = text.replaceAll('-', '+').replaceAll('_', '/');
  const padded = standard + '='.repeat((4 - (standard.length % 4)) % 4);
  let binary;
  try {
    binary = atob(padded);
  } catch {
    return null;
  }
  return Uint8Array.from(binary, (c) => c.charCodeAt(0));
}

function associatedData(keyID) {
  return utf8Bytes(`${version}.${keyID}`);
}

// A WebCrypto AES-GCM key from 32 raw bytes (accepts a CryptoKey as it is).
export async function importKey(keyData) {
  if (keyData instanceof CryptoKey) return keyData;
  return crypto.subtle.importKey('raw', keyData, { name: 'AES-GCM' }, false, ['encrypt', 'decrypt']);
}

// { text } or { error }. `nonce` is 12 bytes; a fresh random one when left out.
export async function seal(plaintext, keyData, keyID, nonce = crypto.getRandomValues(new Uint8Array(nonceBytes))) {
  if (!isValidKeyID(keyID) || nonce.length !== nonceBytes) return { error: EnvelopeError.malformed };
  const key = await importKey(keyData);
  const sealed = new Uint8Array(
    await crypto.subtle.encrypt({ name: 'AES-GCM', iv: nonce, additionalData: associatedData(keyID), tagLength: 128 }, key, plaintext),
  );
  const combined = new Uint8Array(nonceBytes + sealed.length);
  combined.set(nonce);
  combined.set(sealed, nonceBytes);
  const text = `${version}.${keyID}.${base64URLEncode(combined)}`;
  if (text.length > maxBodyBytes) return { error: EnvelopeError.tooLarge };
  return { text };
}

// { keyID, sealed } or { error }, without any key.
export function parse(text) {
  if (utf8Length(text) > maxBodyBytes) return { error: EnvelopeError.tooLarge };
  const pieces = text.split('.');
  if (pieces.length !== 3 || pieces[0] !== version) return { error: EnvelopeError.notProtocolMessage };
  if (!isValidKeyID(pieces[1])) return { error: EnvelopeError.malformed };
  const sealed = base64URLDecode(pieces[2]);
  if (sealed === null || sealed.length < minSealedBytes) return { error: EnvelopeError.malformed };
  return { keyID: pieces[1], sealed };
}

// { plaintext } or { error }: opens with the one key of `keyID`; another key id is unknownKey.
export async function open(text, keyData, keyID) {
  const parsed = parse(text);
  if (parsed.error) return parsed;
  if (parsed.keyID !== keyID) return { error: EnvelopeError.unknownKey };
  try {
    const key = await importKey(keyData);
    const plaintext = await crypto.subtle.decrypt(
      { name: 'AES-GCM', iv: parsed.sealed.subarray(0, nonceBytes), additionalData: associatedData(keyID), tagLength: 128 },
      key,
      parsed.sealed.subarray(nonceBytes),
    );
    return { plaintext: new Uint8Array(plaintext) };
  } catch {
    return { error: EnvelopeError.cannotDecrypt };
  }
}
