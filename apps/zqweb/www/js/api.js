// The console's interface from the page: JSON calls that throw an Error
// with the server's {"error"} text, and the event stream with reconnection.

export class ApiError extends Error {
  constructor(status, message) {
    super(message);
    this.status = status;
  }
}

async function request(method, path, body) {
  const init = { method, headers: {}, credentials: 'same-origin' };
  if (body !== undefined) {
    init.headers['Content-Type'] = 'application/json';
    init.body = JSON.stringify(body);
  }
  const res = await fetch(path, init);
  const text = await res.text();
  const data = text ? JSON.parse(text) : null;
  if (!res.ok) {
    throw new ApiError(res.status, (data && data.error) || `${res.status} ${res.statusText}`);
  }
  return data;
}

export const api = {
  call: (member, args = []) => request('POST', '/api/call', { member, args }).then((r) => r.result),
  get: (property) => request('POST', '/api/call', { property }).then((r) => r.result),
  set: (property, value) => request('POST', '/api/call', { property, value }),
  outputs: () => request('GET', '/api/outputs'),
  addOutput: (server, port) => request('POST', '/api/outputs', { server, port }),
  removeOutput: (name) => request('DELETE', `/api/outputs/${encodeURIComponent(name)}`),
  rehash: (name) => request('POST', name ? `/api/outputs/${encodeURIComponent(name)}/rehash` : '/api/rehash'),
  login: (token) => request('POST', '/login', { token }),
};

export function socketUrl(path) {
  return `${location.protocol === 'https:' ? 'wss:' : 'ws:'}//${location.host}${path}`;
}

// Calls onMessage with every event; reconnects after a drop, with a pause
// growing to 5 s. onState gets 'open' or 'closed'.
export function connectEvents(onMessage, onState) {
  let pause = 250;
  const open = () => {
    const ws = new WebSocket(socketUrl('/api/events'));
    ws.onopen = () => {
      pause = 250;
      onState('open');
    };
    ws.onmessage = (e) => onMessage(JSON.parse(e.data));
    ws.onclose = () => {
      onState('closed');
      setTimeout(open, pause);
      pause = Math.min(pause * 2, 5000);
    };
  };
  open();
}
