// The server's JSON API and its event stream, with the access token when the server asks for one.
// The token comes in the address that zel serve printed (#token=...) and stays in this tab.

const fromHash = new URLSearchParams(location.hash.slice(1)).get('token');
if (fromHash) sessionStorage.setItem('zel-token', fromHash);
const token = sessionStorage.getItem('zel-token') || '';

export class ApiError extends Error {
  constructor(status, message) {
    super(message);
    this.status = status;
  }
}

export async function api(method, path, body) {
  const headers = {};
  if (token) headers.Authorization = `Bearer ${token}`;
  if (body !== undefined) headers['Content-Type'] = 'application/json';
  const res = await fetch(path, {
    method,
    headers,
    body: body === undefined ? undefined : JSON.stringify(body),
    cache: 'no-store',
  });
  if (res.status === 204) return null;
  let data = null;
  try {
    data = await res.json();
  } catch {
    data = null;
  }
  if (!res.ok) throw new ApiError(res.status, (data && data.error) || `${res.status} ${res.statusText}`);
  return data;
}

// A link for what the browser fetches without our headers (downloads, the event stream).
export function withToken(path) {
  return token ? `${path}${path.includes('?') ? '&' : '?'}token=${encodeURIComponent(token)}` : path;
}

export function openEvents(handlers) {
  const source = new EventSource(withToken('/api/events'));
  for (const [name, fn] of Object.entries(handlers)) {
    if (name === 'open' || name === 'error') source.addEventListener(name, fn);
    else source.addEventListener(name, (e) => fn(JSON.parse(e.data)));
  }
  return source;
}
