// The page: the event stream applied to the state and drawn, the forms and
// their errors next to them, push-to-talk and the login.
import { api, connectEvents } from './api.js';
import { state, apply } from './state.js';
import { renderOutputs } from './outputs.js';
import { PushToTalk } from './talk.js';

const $ = (id) => document.getElementById(id);
const outputErrors = new Map();

function describeSource(source) {
  if (!source) return 'none set here';
  return `${source.member} ${source.args.map((a) => JSON.stringify(a)).join(' ')}`;
}

function render() {
  renderOutputs(state.outputs, outputErrors);
  const c = state.console;
  $('current-source').textContent = c.live ? 'the talk (push-to-talk)' : describeSource(c.source);
  $('aam-state').textContent = c.aam.port < 0
    ? 'closed'
    : `open on port ${c.aam.port}, device ${c.aam.board}${c.aam.board === c.aam.hostDevice ? ' (push-to-talk)' : ''}`;
  $('on-air').hidden = !c.talking;
  const badge = $('connection');
  badge.dataset.state = state.connection;
  badge.textContent = state.connection === 'open' ? 'connected' : 'disconnected';
}

// Runs `action` for a form's submit and shows its failure next to it.
function form(id, action) {
  const f = $(id);
  const error = f.querySelector('.error');
  const run = async (e, extra) => {
    e.preventDefault();
    error.textContent = '';
    try {
      const result = await action(f, extra);
      if (typeof result === 'number' && result !== 0) error.textContent = `refused (${result})`;
    } catch (err) {
      error.textContent = err.message;
    }
  };
  f.addEventListener('submit', run);
  return run;
}

function wireForms() {
  form('add-output', (f) => api.addOutput(f.server.value.trim(), Number(f.port.value)));
  $('rehash-all').addEventListener('click', () => api.rehash().catch((e) => {
    $('add-output').querySelector('.error').textContent = e.message;
  }));
  form('source-net', (f) => api.call('SetNetSource', [f.proto.value, f.host.value.trim(), Number(f.port.value)]));
  form('source-files', (f) => api.call('StreamFiles', [f.files.value.trim(), f.loop.checked ? 1 : 0]));
  form('source-file', (f) => api.call('SetFileSource', [f.file.value.trim()]));
  form('source-hard', (f) => api.call('SetHardSource', [Number(f.card.value), f.connector.value]));
  form('source-reset', () => api.call('ResetSource'));
  form('aam-open', (f) => api.call('OpenLocalAAM',
    [Number(f.port.value), f.connector.value, Number(f.board.value), Number(f.rate.value), f.id.value]));
  const actions = form('aam-actions', (f, member) => api.call(member));
  for (const b of $('aam-actions').querySelectorAll('button[data-member]')) {
    b.addEventListener('click', (e) => actions(e, b.dataset.member));
  }
}

async function needsLogin() {
  try {
    await api.outputs();
    return false;
  } catch (e) {
    return e.status === 401;
  }
}

async function start() {
  if (await needsLogin()) {
    const f = $('login');
    f.hidden = false;
    document.querySelector('main').hidden = true;
    f.addEventListener('submit', async (e) => {
      e.preventDefault();
      try {
        await api.login($('login-token').value);
        location.reload();
      } catch (err) {
        $('login-error').textContent = err.message;
      }
    });
    return;
  }
  wireForms();
  connectEvents((m) => { apply(m); render(); }, (s) => { state.connection = s; render(); });
  const talk = new PushToTalk({
    button: $('talk-button'), meter: $('talk-level'), status: $('talk-state'), error: $('talk-error'),
  });
  await talk.prepare();
}

start();
