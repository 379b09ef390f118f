// The outputs as table rows, built from the state: link, source, volume
// (SetParamsOf), frames, losses, underruns, level, rehash and remove.
import { api } from './api.js';

function cell(text, className) {
  const td = document.createElement('td');
  td.textContent = text ?? '';
  if (className) td.className = className;
  return td;
}

function stat(o, key) {
  return o.stats && o.stats[key] !== undefined ? String(o.stats[key]) : '–';
}

function row(o, onError) {
  const tr = document.createElement('tr');
  tr.dataset.name = o.name;
  tr.dataset.link = o.link;
  tr.append(cell(o.name, 'name'));
  const link = cell(o.link, 'link');
  if (o.error) link.title = o.error;
  tr.append(link);
  tr.append(cell(o.params && o.params.Source ? o.params.Source : '–', 'source'));

  const volume = document.createElement('td');
  const slider = document.createElement('input');
  slider.type = 'range';
  slider.min = 0;
  slider.max = 100;
  slider.value = o.params && o.params.Volume !== undefined ? o.params.Volume : 100;
  slider.setAttribute('aria-label', `Volume of ${o.name}`);
  slider.disabled = o.link !== 'up';
  slider.addEventListener('change', async () => {
    try {
      const result = await api.call('SetParamsOf', [o.name, `volume=${slider.value}`]);
      if (result !== 0) onError(o.name, `SetParamsOf answered ${result}`);
    } catch (e) {
      onError(o.name, e.message);
    }
  });
  volume.append(slider);
  tr.append(volume);

  tr.append(cell(stat(o, 'FramesReceived'), 'number frames'));
  tr.append(cell(stat(o, 'FramesLost'), 'number lost'));
  tr.append(cell(stat(o, 'Underruns'), 'number underruns'));
  tr.append(cell(o.stats && o.stats.LevelDb !== undefined ? `${o.stats.LevelDb} dB` : '–', 'number level'));

  const actions = document.createElement('td');
  const rehash = document.createElement('button');
  rehash.textContent = 'Rehash';
  rehash.addEventListener('click', () => api.rehash(o.name).catch((e) => onError(o.name, e.message)));
  const remove = document.createElement('button');
  remove.textContent = 'Remove';
  remove.addEventListener('click', () => api.removeOutput(o.name).catch((e) => onError(o.name, e.message)));
  const error = document.createElement('span');
  error.className = 'error';
  actions.append(rehash, ' ', remove, ' ', error);
  tr.append(actions);
  return tr;
}

// Redraws the rows; a row whose slider is held keeps it.
export function renderOutputs(outputs, errors) {
  const body = document.querySelector('#outputs tbody');
  const held = document.activeElement && document.activeElement.type === 'range'
    ? document.activeElement.closest('tr')?.dataset.name : null;
  const onError = (name, message) => {
    errors.set(name, message);
    const span = body.querySelector(`tr[data-name="${CSS.escape(name)}"] .error`);
    if (span) span.textContent = message;
  };
  const rows = [];
  for (const o of outputs.values()) {
    const old = body.querySelector(`tr[data-name="${CSS.escape(o.name)}"]`);
    if (o.name === held && old) {
      old.dataset.link = o.link;
      old.querySelector('.link').textContent = o.link;
      rows.push(old);
      continue;
    }
    const tr = row(o, onError);
    if (errors.has(o.name)) tr.querySelector('.error').textContent = errors.get(o.name);
    rows.push(tr);
  }
  body.replaceChildren(...rows);
  document.getElementById('outputs-empty').hidden = outputs.size > 0;
}
