// The web phone's service worker: keeps the app shell (these files and nothing else) so the
// page opens from the home screen without a network; every request for a shell file goes to
// the network first, so an update shows at once. Relay traffic is never touched or cached.
const cacheName = 'torvo-phone-shell-v1';
const shell = [
  './', 'index.html', 'style.css', 'app.js', 'protocol.js', 'envelope.js', 'messages.js', 'pairing.js',
  'present.js', 'relay.js', 'store.js', 'text.js', 'manifest.webmanifest', 'icon.svg', 'icon-192.png', 'icon-512.png',
];
const shellURLs = new Set(shell.map((path) => new URL(path, self.registration.scope).href));

self.addEventListener('install', (event) => {
  event.waitUntil(caches.open(cacheName).then((cache) => cache.addAll(shell)).then(() => self.skipWaiting()));
});

self.addEventListener('activate', (event) => {
  event.waitUntil(
    caches.keys()
      .then((names) => Promise.all(names.filter((n) => n.startsWith('torvo-phone-shell-') && n !== cacheName).map((n) => caches.delete(n))))
      .then(() => self.clients.claim()),
  );
});

self.addEventListener('fetch', (event) => {
  const url = new URL(event.request.url);
  url.hash = '';
  if (event.request.method !== 'GET' || !shellURLs.has(url.href)) return;
  event.respondWith(
    fetch(event.request)
      .then((response) => {
        if (response.ok) {
          const copy = response.clone();
          caches.open(cacheName).then((cache) => cache.put(event.request, copy));
        }
        return response;
      })
      .catch(() => caches.match(event.request, { ignoreSearch: true })),
  );
});
