// Where the page keeps its pairings and settings: IndexedDB "torvo-phone", store "pairings"
// keyed by key id (relay, topic, the key as a non-extractable CryptoKey, the computer's name,
// whether it answered, the relay position read up to and the latest state report) and store
// "settings" (the phone's name, the computer shown). Every call is one transaction.

const dbName = 'torvo-phone';
let opened = null;

function request(r) {
  return new Promise((resolve, reject) => {
    r.onsuccess = () => resolve(r.result);
    r.onerror = () => reject(r.error);
  });
}

function db() {
  if (!opened) {
    const r = indexedDB.open(dbName, 1);
    r.onupgradeneeded = () => {
      r.result.createObjectStore('pairings', { keyPath: 'keyID' });
      r.result.createObjectStore('settings');
    };
    opened = request(r);
  }
  return opened;
}

async function run(storeName, mode, action) {
  const tx = (await db()).transaction(storeName, mode);
  const result = await request(action(tx.objectStore(storeName)));
  await new Promise((resolve, reject) => {
    tx.oncomplete = resolve;
    tx.onerror = () => reject(tx.error);
    tx.onabort = () => reject(tx.error);
  });
  return result;
}

export const listPairings = () => run('pairings', 'readonly', (s) => s.getAll());
export const getPairing = (keyID) => run('pairings', 'readonly', (s) => s.get(keyID));
export const putPairing = (pairing) => run('pairings', 'readwrite', (s) => s.put(pairing));
export const deletePairing = (keyID) => run('pairings', 'readwrite', (s) => s.delete(keyID));
export const getSetting = (name) => run('settings', 'readonly', (s) => s.get(name));
export const setSetting = (name, value) => run('settings', 'readwrite', (s) => s.put(value, name));

// Changes stored fields of one pairing, if it is still there.
export async function updatePairing(keyID, changes) {
  const pairing = await getPairing(keyID);
  if (!pairing) return null;
  Object.assign(pairing, changes);
  await putPairing(pairing);
  return pairing;
}
