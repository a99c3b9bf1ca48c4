// A battle as a link: ?w1=...&w2=...&n=1000[&redcode=source][&play=1], each
// warrior an example's name (Mice) or its text as "b64:" and base64url.

export function toBase64Url(bytes) {
  let binary = '';
  for (const b of bytes) binary += String.fromCharCode(b);
  return btoa(binary).replace(/\+/g, '-').replace(/\//g, '_').replace(/=+$/, '');
}

export function fromBase64Url(text) {
  const base64 = text.replace(/-/g, '+').replace(/_/g, '/');
  const binary = atob(base64 + '='.repeat((4 - (base64.length % 4)) % 4));
  return Uint8Array.from(binary, (c) => c.charCodeAt(0));
}

// The battle a link names: { warriors: [origin, origin], soundSamples, reader,
// play } where an origin is { example: name } or { bytes: Uint8Array }; absent
// parts are undefined. A malformed b64: part throws.
export function readLink(search) {
  const params = new URLSearchParams(search);
  const warrior = (key) => {
    const value = params.get(key);
    if (value === null || value === '') return undefined;
    if (value.startsWith('b64:')) return { bytes: fromBase64Url(value.slice(4)) };
    return { example: value };
  };
  const n = params.get('n');
  return {
    warriors: [warrior('w1'), warrior('w2')],
    soundSamples: n === null || n === '' ? undefined : n,
    reader: params.get('redcode') === 'source' ? 'source' : params.has('redcode') ? 'load' : undefined,
    play: params.get('play') === '1',
  };
}

// The link of a battle; each warrior is { example: name } or { bytes }.
export function makeLink(base, warriors, soundSamples, reader) {
  // Built by hand: "b64:" and base64url need no escaping in a query.
  const parts = warriors.map((w, i) => {
    const value = w.example !== undefined ? encodeURIComponent(w.example) : `b64:${toBase64Url(w.bytes)}`;
    return `w${i + 1}=${value}`;
  });
  parts.push(`n=${encodeURIComponent(String(soundSamples))}`);
  if (reader === 'source') parts.push('redcode=source');
  return `${base}?${parts.join('&')}`;
}
