// The page: sweep controls, the live plots fed by the server's event stream, the readouts, holding
// a frequency, the sensors, the instrument's info and the saved sweeps.
import { api, openEvents, withToken } from './api.js';
import { Charts } from './charts.js';
import { SmithChart } from './smith.js';

const $ = (id) => document.getElementById(id);

const state = {
  client: '',       // this page's event stream, which a hold belongs to
  sweepId: 0,
  total: 0,
  range: null,
  live: emptySweep(),
  ref: null,
  refName: '',
  busy: 'idle',
  holdOn: false,
  lastEnded: false, // a sweep has ended: the server has one to save and download
  info: null,
};

function emptySweep() {
  return { f: [], swr: [], r: [], x: [], z: [], rl: [], gre: [], gim: [] };
}

function addPoint(s, p) {
  s.f.push(p.frequency_mhz);
  s.swr.push(p.swr);
  s.r.push(p.r_ohm);
  s.x.push(p.x_ohm);
  s.z.push(p.z_abs_ohm);
  s.rl.push(p.return_loss_db);
  s.gre.push(p.gamma_re);
  s.gim.push(p.gamma_im);
}

function sweepFromJson(j) {
  const s = emptySweep();
  for (const p of j.points) addPoint(s, p);
  return s;
}

// A list of label and value pairs into a <dl>.
function fillReadout(dl, rows) {
  dl.innerHTML = '';
  for (const [k, v] of rows) {
    const dt = document.createElement('dt');
    dt.textContent = k;
    const dd = document.createElement('dd');
    dd.textContent = v;
    dl.append(dt, dd);
  }
}

// ---- messages ----
let messageTimer = 0;
function showMessage(text, kind = 'error') {
  const m = $('message');
  m.textContent = text;
  m.className = kind === 'info' ? 'info' : '';
  m.hidden = false;
  clearTimeout(messageTimer);
  messageTimer = setTimeout(() => { m.hidden = true; }, kind === 'info' ? 4000 : 10000);
}

async function call(method, path, body) {
  try {
    return await api(method, path, body);
  } catch (e) {
    showMessage(e.message);
    return undefined;
  }
}

// ---- plots and readouts ----
const charts = new Charts(showCursor);
const smith = new SmithChart($('smith'));

function lowest(s) {
  let best = -1;
  for (let i = 0; i < s.swr.length; i++) {
    if (s.swr[i] != null && (best < 0 || s.swr[i] < s.swr[best])) best = i;
  }
  return best < 0 ? null : { i: best, f: s.f[best], swr: s.swr[best] };
}

function redraw() {
  const best = lowest(state.live);
  charts.setLive(state.live, state.range, best);
  const traces = [];
  if (state.ref) traces.push({ points: state.ref.gre.map((re, i) => [re, state.ref.gim[i]]), color: '#9aa3b2', width: 1.5, dash: [6, 4] });
  traces.push({ points: state.live.gre.map((re, i) => [re, state.live.gim[i]]), color: '#1565c0', width: 2 });
  smith.setTraces(traces);
  showBest(best);
}

function showBest(best) {
  const el = $('minswr');
  if (!best) {
    el.textContent = '—';
    delete el.dataset.swr;
    delete el.dataset.mhz;
    return;
  }
  el.textContent = `${best.swr.toFixed(3)} at ${best.f.toFixed(4)} MHz`;
  el.dataset.swr = best.swr;
  el.dataset.mhz = best.f;
}

function bandText(b) {
  if (!b) return 'none';
  const open = b.low_at_sweep_end || b.high_at_sweep_end ? ' (or more: reaches the sweep\u2019s end)' : '';
  return `${b.low_mhz.toFixed(4)} – ${b.high_mhz.toFixed(4)} MHz, ${(b.bandwidth_mhz * 1000).toFixed(1)} kHz${open}`;
}

function showSummary(summary) {
  $('bw2').textContent = summary ? bandText(summary.swr2) : '—';
  $('bw15').textContent = summary ? bandText(summary.swr1_5) : '—';
}

function nearest(arr, v) {
  if (!arr.length) return -1;
  let lo = 0, hi = arr.length - 1;
  while (hi - lo > 1) {
    const mid = (lo + hi) >> 1;
    if (arr[mid] < v) lo = mid; else hi = mid;
  }
  return Math.abs(arr[lo] - v) <= Math.abs(arr[hi] - v) ? lo : hi;
}

function showCursor(f) {
  const s = state.live;
  const i = nearest(s.f, f);
  const dl = $('cursor');
  if (i < 0) return;
  const n = (v, d) => (v == null ? '∞' : v.toFixed(d));
  const x = s.x[i];
  fillReadout(dl, [
    ['Frequency', `${s.f[i].toFixed(4)} MHz`],
    ['Z', `${n(s.r[i], 2)} ${x < 0 ? '−' : '+'} j${n(Math.abs(x), 2)} Ω`],
    ['|Z|', `${n(s.z[i], 2)} Ω`],
    ['SWR', n(s.swr[i], 3)],
    ['Return loss', `${n(s.rl[i], 2)} dB`],
  ]);
  smith.setMarker([s.gre[i], s.gim[i]]);
  if (!state.holdOn) $('hold-f').value = +s.f[i].toFixed(6);
}

// ---- state from the server ----
function applyState(st) {
  state.busy = st.busy;
  state.holdOn = st.hold.on;
  const sweeping = st.busy === 'sweep';
  $('sweep').disabled = st.busy !== 'idle';
  $('stop-sweep').disabled = !sweeping;
  $('hold').disabled = sweeping || (st.hold.on && !state.holdMine);
  $('hold-off').disabled = sweeping;
  $('sensors-read').disabled = sweeping;
  $('save').disabled = sweeping || !state.lastEnded;
  const gen = $('hold-state');
  if (st.hold.on) {
    gen.className = 'gen on';
    gen.textContent = `GENERATOR ON · ${st.hold.frequency_mhz.toFixed(6)} MHz`;
  } else {
    state.holdMine = false;
    gen.className = 'gen off';
    gen.textContent = 'generator off';
  }
  if (st.calibrating) $('sweep').textContent = 'Calibrating…';
  else $('sweep').textContent = 'Sweep';
  if (sweeping && st.sweep) {
    $('progress').max = st.sweep.total || 1;
    $('progress').value = st.sweep.done;
  }
}

function setDownloads(enabled) {
  for (const [id, path] of [['dl-s1p', '/api/sweep/last.s1p'], ['dl-csv', '/api/sweep/last.csv']]) {
    const a = $(id);
    a.classList.toggle('disabled', !enabled);
    a.href = enabled ? withToken(path) : '#';
  }
}

const handlers = {
  open: () => {
    $('link').textContent = 'live';
    $('link').className = 'badge on';
  },
  error: () => {
    $('link').textContent = 'reconnecting';
    $('link').className = 'badge off';
  },
  hello: (h) => {
    state.client = h.client;
    applyState(h.state);
  },
  sweep: (s) => {
    state.sweepId = s.sweep;
    state.total = s.points;
    state.range = [s.start_mhz, s.stop_mhz];
    state.live = emptySweep();
    state.lastEnded = false;
    $('progress').max = s.points;
    $('progress').value = 0;
    showSummary(null);
    setDownloads(false);
    document.body.dataset.sweep = 'running';
    redraw();
  },
  point: (p) => {
    if (p.sweep !== state.sweepId) return;
    addPoint(state.live, p);
    $('progress').value = state.live.f.length;
    redraw();
  },
  sweep_end: (e) => {
    if (e.sweep !== state.sweepId) return;
    showSummary(e.summary);
    state.lastEnded = e.points > 0;
    setDownloads(state.lastEnded);
    $('save').disabled = !state.lastEnded;
    $('progress').value = e.points;
    if (e.reason === 'failed') showMessage(`sweep failed: ${e.error}`);
    else if (e.reason === 'stopped') showMessage(`sweep stopped after ${e.points} points`, 'info');
    if (!$('save-name').value) $('save-name').value = defaultName();
    document.body.dataset.sweep = e.reason;
  },
  state: applyState,
  hold: () => {},
};

function defaultName() {
  const d = new Date();
  const p = (v) => String(v).padStart(2, '0');
  return `sweep-${d.getFullYear()}${p(d.getMonth() + 1)}${p(d.getDate())}-${p(d.getHours())}${p(d.getMinutes())}${p(d.getSeconds())}`;
}

// ---- controls ----
$('sweep-form').addEventListener('submit', async (ev) => {
  ev.preventDefault();
  const body = {
    start_mhz: Number($('start').value),
    stop_mhz: Number($('stop').value),
    points: Math.round(Number($('points').value)),
    values: $('values').value,
  };
  const avg = Math.round(Number($('avg').value));
  if (avg > 1) body.averaging = avg;
  if ($('values').value === 'corrected' && $('calibration').value) body.calibration = $('calibration').value;
  localStorage.setItem('zel-sweep', JSON.stringify(body));
  await call('POST', '/api/sweep', body);
});

$('stop-sweep').addEventListener('click', () => call('POST', '/api/sweep/stop'));

$('hold').addEventListener('click', async () => {
  const f = Number($('hold-f').value);
  state.holdMine = true;
  const r = await call('POST', '/api/hold', { frequency_mhz: f, client: state.client });
  if (r === undefined) state.holdMine = false;
});
$('hold-off').addEventListener('click', () => call('POST', '/api/hold/off'));

$('sensors-read').addEventListener('click', readSensors);

async function readSensors() {
  const s = await call('GET', '/api/sensors');
  if (!s) return;
  fillReadout($('sensors'), [
    ['RF voltage', !s.rf_sensor ? 'no sensor on this model' : s.rf_voltage_v != null ? `${s.rf_voltage_v.toFixed(2)} V peak` : s.rf_voltage_error],
    ['Temperature', !s.temp_sensor ? 'no sensor on this model' : s.temperature_c != null ? `${s.temperature_c.toFixed(1)} °C` : s.temperature_error],
  ]);
}

$('save').addEventListener('click', async () => {
  const name = $('save-name').value.trim();
  const r = await call('POST', '/api/saved', { name });
  if (r) {
    showMessage(`saved as ${name}`, 'info');
    $('save-name').value = '';
    loadSaved();
  }
});

$('dl-png').addEventListener('click', () => {
  const parts = [...charts.canvases(), smith.image];
  const w = Math.max(...parts.map((c) => c.width));
  const pad = 10;
  const out = document.createElement('canvas');
  out.width = w + 2 * pad;
  out.height = parts.reduce((h, c) => h + c.height + pad, pad + 30);
  const ctx = out.getContext('2d');
  ctx.fillStyle = '#fff';
  ctx.fillRect(0, 0, out.width, out.height);
  ctx.fillStyle = '#1d2330';
  ctx.font = '18px system-ui, sans-serif';
  const best = $('minswr').textContent;
  ctx.fillText(`zel sweep ${state.range ? `${state.range[0]}–${state.range[1]} MHz` : ''} · lowest SWR ${best}${state.refName ? ` · reference ${state.refName}` : ''}`, pad, pad + 18);
  let y = pad + 30;
  for (const c of parts) {
    ctx.drawImage(c, pad, y);
    y += c.height + pad;
  }
  out.toBlob((blob) => {
    const a = document.createElement('a');
    a.href = URL.createObjectURL(blob);
    a.download = `${$('save-name').value || defaultName()}.png`;
    a.click();
    setTimeout(() => URL.revokeObjectURL(a.href), 5000);
  });
});

// ---- saved sweeps ----
async function loadSaved() {
  const r = await call('GET', '/api/saved');
  if (!r) return;
  const body = $('saved').tBodies[0];
  body.innerHTML = '';
  if (!r.saved.length) {
    const td = body.insertRow().insertCell();
    td.textContent = 'none yet';
    td.className = 'muted';
  }
  for (const s of r.saved) {
    const row = body.insertRow();
    row.dataset.name = s.name;
    const pick = row.insertCell();
    const radio = document.createElement('input');
    radio.type = 'radio';
    radio.name = 'ref';
    radio.title = 'draw as the reference trace';
    radio.checked = s.name === state.refName;
    radio.addEventListener('change', () => chooseReference(s.name));
    pick.append(radio);
    const name = row.insertCell();
    name.className = 'name';
    name.textContent = s.name;
    name.title = `${s.points} points, ${s.start_mhz}–${s.stop_mhz} MHz${s.date ? `, ${s.date}` : ''}`;
    const acts = row.insertCell();
    acts.className = 'acts';
    for (const ext of ['s1p', 'csv']) {
      const a = document.createElement('a');
      a.className = 'button';
      a.textContent = `.${ext}`;
      a.href = withToken(`/api/saved/${encodeURIComponent(s.name)}.${ext}`);
      a.download = `${s.name}.${ext}`;
      acts.append(a, ' ');
    }
    const del = document.createElement('button');
    del.type = 'button';
    del.textContent = '✕';
    del.title = `delete ${s.name}`;
    del.addEventListener('click', async () => {
      if (!confirm(`Delete the saved sweep ${s.name}?`)) return;
      if ((await call('DELETE', `/api/saved/${encodeURIComponent(s.name)}`)) !== undefined) {
        if (state.refName === s.name) chooseReference('');
        loadSaved();
      }
    });
    acts.append(del);
  }
  const none = body.insertRow();
  const c0 = none.insertCell();
  const radio = document.createElement('input');
  radio.type = 'radio';
  radio.name = 'ref';
  radio.checked = !state.refName;
  radio.addEventListener('change', () => chooseReference(''));
  c0.append(radio);
  const c1 = none.insertCell();
  c1.colSpan = 2;
  c1.className = 'muted';
  c1.textContent = 'no reference';
}

async function chooseReference(name) {
  if (!name) {
    state.ref = null;
    state.refName = '';
  } else {
    const j = await call('GET', `/api/saved/${encodeURIComponent(name)}`);
    if (!j) return;
    state.ref = sweepFromJson(j);
    state.refName = name;
  }
  const el = $('ref-name');
  el.textContent = state.refName ? `${state.refName} (${state.ref.f.length} points, dashed)` : 'none';
  el.dataset.points = state.ref ? state.ref.f.length : 0;
  charts.setReference(state.ref);
  redraw();
}

// ---- start ----
async function start() {
  const saved = JSON.parse(localStorage.getItem('zel-sweep') || 'null');
  if (saved) {
    $('start').value = saved.start_mhz;
    $('stop').value = saved.stop_mhz;
    $('points').value = saved.points;
    $('values').value = saved.values;
    if (saved.averaging) $('avg').value = saved.averaging;
  }
  const info = await call('GET', '/api/info');
  if (info) {
    state.info = info;
    $('instrument').textContent = `${info.model} analyzer, firmware ${info.firmware || '?'}${info.simulated ? ' (simulated)' : ''}`;
    fillReadout($('info'), [
      ['Model', info.model],
      ['Firmware', info.firmware || 'not reported'],
      ['Serial number', String(info.serial_number)],
      ['Range', `${info.min_mhz} – ${info.max_mhz} MHz`],
      ['Port', info.port],
      ['Link', `${info.baud_rate} baud`],
      ['Software', `${info.tool}, library ${info.library}`],
    ]);
    for (const id of ['start', 'stop', 'hold-f']) {
      $(id).min = info.min_mhz;
      $(id).max = info.max_mhz;
    }
    $('points').max = info.max_points;
    if (info.rf_sensor || info.temp_sensor) readSensors();
  }
  const cals = await call('GET', '/api/calibrations');
  if (cals) {
    for (const name of cals.calibrations) {
      const o = document.createElement('option');
      o.value = o.textContent = name;
      $('calibration').append(o);
    }
    if (saved && saved.calibration) $('calibration').value = saved.calibration;
  }
  await loadSaved();
  setDownloads(false);
  openEvents(handlers);
  redraw();
}

start();
