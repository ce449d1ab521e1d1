// The live page's logic: follows the event stream of the steplink view server, keeps a bounded,
// decimated copy of the path, draws both plots and posts Stop/Pause/Resume with the token.
// Everything from the job is set with textContent only.
'use strict';

const token = new URLSearchParams(location.search).get('token') || '';
const $ = (id) => document.getElementById(id);
const setText = (id, text) => { $(id).textContent = text; };

const MAX_POINTS = 4000;  // the page never keeps more: halving doubles the stride
let points = [];          // [timeSeconds, x, y, z, aux]
let stride = 1;
let candidate = 0;
let faults = [];
let faultsShown = 0;
let state = null;
let finished = false;
let source = null;
let drawPending = false;

// The server sends the path's corners (samples on a straight segment are merged there).
function addPoint(point) {
  if ((candidate++ % stride) !== 0) return;
  points.push(point);
  if (points.length >= MAX_POINTS) {
    const kept = points.filter((_, index) => index % 2 === 0);
    if (points.length % 2 === 0) kept.push(points[points.length - 1]);
    points = kept;
    stride *= 2;
  }
}

function banner(kind, text) {
  const element = $('status');
  element.className = 'banner ' + kind;
  element.textContent = text;
}

const fmtInt = (value) => (value === null || value === undefined) ? '–' : String(Math.round(value));
const fmtMm = (value) => (typeof value === 'number') ? value.toFixed(3) : '–';

function fmtDuration(seconds) {
  if (typeof seconds !== 'number') return 'unknown';
  const whole = Math.max(0, Math.round(seconds));
  const minutes = Math.floor(whole / 60);
  return minutes + ':' + String(whole % 60).padStart(2, '0');
}

function describeState(s) {
  if (s.state === 'waiting') return ['waiting', 'Waiting for the table: no status block yet'];
  if (s.exit_code !== undefined) {
    const how = {ended: 'The job has ended', stopped: 'The job was stopped',
                 failed: 'The job has ended with a failure'}[s.state] || 'The job is over';
    return [s.state === 'ended' ? 'ended' : s.state, how + ' (exit status ' + s.exit_code + ')'];
  }
  if (s.state === 'paused') return ['paused', 'Paused at a call boundary'];
  if (s.running) return ['running', 'Running'];
  if (s.state === 'stopped') return ['stopped', 'The job was stopped'];
  if (s.state === 'failed') return ['failed', 'The job has ended with a failure'];
  return ['ended', 'The job has ended'];
}

function renderFaults() {
  const list = $('faults');
  for (; faultsShown < faults.length; ++faultsShown) {
    const fault = faults[faultsShown];
    const item = document.createElement('li');
    let text = fault.kind + ' at port ' + fault.port + ' (value ' + fault.value + '), ' +
               fault.time_s.toFixed(6) + ' s';
    if (fault.new > 1) text += ' — and ' + (fault.new - 1) + ' more since the last shown';
    item.textContent = text;
    list.appendChild(item);
  }
}

function onState(s) {
  state = s;
  setText('job', s.job || '');
  const [kind, text] = describeState(s);
  banner(kind, text);
  setText('pos-x', fmtInt(s.steps.x));
  setText('pos-y', fmtInt(s.steps.y));
  setText('pos-z', fmtInt(s.steps.z));
  setText('rate-x', fmtInt(s.rates.x));
  setText('rate-y', fmtInt(s.rates.y));
  setText('rate-z', fmtInt(s.rates.z));
  setText('aux', s.aux < 0 ? 'none set' : (s.aux ? 'on (1)' : 'off (0)'));
  setText('limit', s.limit ? 'ENGAGED' : 'released');
  setText('time', typeof s.time_s === 'number' ? s.time_s.toFixed(3) + ' s' : '–');
  setText('total', fmtInt(s.total_steps));
  if (s.call) {
    const args = ['vectorOut', 'reference'].includes(s.call.method) ? ' ' + s.call.args.join(' ') : '';
    const of = s.call.count ? ' (call ' + s.call.index + ' of ' + s.call.count + ')' : '';
    setText('call', s.call.method + args + of);
  } else {
    setText('call', s.running ? 'between calls' : '–');
  }
  $('mm-row').hidden = !s.gcode;
  $('gcode').hidden = !s.gcode;
  if (s.gcode) {
    setText('mm-x', fmtMm(s.mm && s.mm.x));
    setText('mm-y', fmtMm(s.mm && s.mm.y));
    setText('mm-z', fmtMm(s.mm && s.mm.z));
    setText('gcode-line', s.line ? String(s.line) : '–');
    setText('gcode-percent', typeof s.percent === 'number' ? s.percent.toFixed(1) + ' %' : 'unknown');
    setText('gcode-eta', fmtDuration(s.eta_s));
  }
  setText('fault-count', String(s.faults.count));
  if (s.faults.last && s.faults.count > (faults.length ? faults[faults.length - 1].count : 0)) {
    const previous = faults.length ? faults[faults.length - 1].count : 0;
    faults.push(Object.assign({count: s.faults.count, new: s.faults.count - previous}, s.faults.last));
    renderFaults();
  }
  if (s.exit_code !== undefined) {
    finished = true;
    if (source) source.close();
  }
  updateControls();
  scheduleDraw();
}

function updateControls() {
  const s = state;
  const canStop = s && s.controls.stop;
  const canPause = s && s.controls.pause;
  $('stop').hidden = !canStop;
  $('pause').hidden = !canPause;
  $('resume').hidden = !canPause;
  $('stop').disabled = finished;
  $('pause').disabled = finished || !s || s.state === 'paused';
  $('resume').disabled = finished || !s || s.state !== 'paused';
  if (s && !canStop) {
    setText('controls-note', 'Watching a status block that another program writes: there is no job ' +
            'of ours to stop here. Stop it in the program that runs it.');
  } else if (s) {
    setText('controls-note', 'Stop ends the job as Ctrl-C does: the record is kept, the summary written.');
  }
}

async function post(action) {
  try {
    const response = await fetch('/' + action, {method: 'POST', headers: {'X-Steplink-Token': token},
                                                cache: 'no-store'});
    if (!response.ok) banner('failed', action + ' refused: ' + (await response.text()));
    else if (action === 'stop') banner('stopped', 'Stopping…');
  } catch (error) {
    banner('lost', action + ' not delivered: the connection to steplink is lost');
  }
}

function scheduleDraw() {
  if (drawPending) return;
  drawPending = true;
  requestAnimationFrame(() => { drawPending = false; drawXY(); drawZ(); });
}

function drawXY() {
  const canvas = $('xy');
  const g = canvas.getContext('2d');
  const w = canvas.width;
  const h = canvas.height;
  g.clearRect(0, 0, w, h);
  const xs = points.map((p) => p[1]);
  const ys = points.map((p) => p[2]);
  if (state && state.block) { xs.push(state.steps.x); ys.push(state.steps.y); }
  if (state && state.move) { xs.push(state.move.to.x, state.move.from.x); ys.push(state.move.to.y, state.move.from.y); }
  if (!xs.length) return;
  let [minX, maxX, minY, maxY] = [Math.min(...xs), Math.max(...xs), Math.min(...ys), Math.max(...ys)];
  const span = Math.max(maxX - minX, maxY - minY, 10);
  const margin = 30;
  const scale = Math.min((w - 2 * margin) / Math.max(maxX - minX, span * 0.2, 1),
                         (h - 2 * margin) / Math.max(maxY - minY, span * 0.2, 1));
  const cx = (minX + maxX) / 2;
  const cy = (minY + maxY) / 2;
  const px = (x) => w / 2 + (x - cx) * scale;
  const py = (y) => h / 2 - (y - cy) * scale;
  g.strokeStyle = '#e4e7ec';
  g.lineWidth = 1;
  g.beginPath(); g.moveTo(px(0), 0); g.lineTo(px(0), h); g.moveTo(0, py(0)); g.lineTo(w, py(0)); g.stroke();
  g.strokeStyle = '#2f6fd6';
  g.lineWidth = 2;
  g.beginPath();
  points.forEach((p, i) => (i ? g.lineTo(px(p[1]), py(p[2])) : g.moveTo(px(p[1]), py(p[2]))));
  if (state && state.block) g.lineTo(px(state.steps.x), py(state.steps.y));
  g.stroke();
  if (state && state.move) {
    g.strokeStyle = '#e08a00';
    g.setLineDash([6, 4]);
    g.beginPath(); g.moveTo(px(state.move.from.x), py(state.move.from.y));
    g.lineTo(px(state.move.to.x), py(state.move.to.y)); g.stroke();
    g.setLineDash([]);
  }
  if (state && state.block) {
    g.fillStyle = '#d62f4b';
    g.beginPath(); g.arc(px(state.steps.x), py(state.steps.y), 5, 0, 2 * Math.PI); g.fill();
  }
  g.fillStyle = '#667085';
  g.font = '12px system-ui, sans-serif';
  g.fillText('x ' + minX + '…' + maxX + '   y ' + minY + '…' + maxY, 8, h - 8);
}

function drawZ() {
  const canvas = $('zt');
  const g = canvas.getContext('2d');
  const w = canvas.width;
  const h = canvas.height;
  g.clearRect(0, 0, w, h);
  if (points.length < 1) return;
  const t0 = points[0][0];
  const t1 = Math.max(points[points.length - 1][0], state && state.time_s ? state.time_s : 0, t0 + 1e-3);
  const zNow = state && state.block ? state.steps.z : points[points.length - 1][3];
  const zs = points.map((p) => p[3]).concat([zNow]);
  const minZ = Math.min(...zs, 0);
  const maxZ = Math.max(...zs, 1);
  const auxBand = 24;
  const px = (t) => 8 + (t - t0) / (t1 - t0) * (w - 16);
  const pz = (z) => (h - auxBand - 12) - (z - minZ) / (maxZ - minZ) * (h - auxBand - 36);
  g.fillStyle = '#2e9e5b';
  for (let i = 0; i < points.length; ++i) {
    if (points[i][4] !== 1) continue;
    const end = i + 1 < points.length ? points[i + 1][0] : t1;
    g.fillRect(px(points[i][0]), h - auxBand + 4, Math.max(1, px(end) - px(points[i][0])), auxBand - 8);
  }
  g.strokeStyle = '#2f6fd6';
  g.lineWidth = 2;
  g.beginPath();
  // Corners of straight moves: Z changes linearly between them.
  points.forEach((p, i) => (i ? g.lineTo(px(p[0]), pz(p[3])) : g.moveTo(px(p[0]), pz(p[3]))));
  g.lineTo(px(t1), pz(zNow));
  g.stroke();
  g.fillStyle = '#667085';
  g.font = '12px system-ui, sans-serif';
  g.fillText('z ' + minZ + '…' + maxZ + '   ' + t0.toFixed(1) + '…' + t1.toFixed(1) + ' s', 8, 14);
}

function connect() {
  source = new EventSource('/events?token=' + encodeURIComponent(token));
  source.addEventListener('history', (event) => {
    const history = JSON.parse(event.data);
    points = [];
    stride = 1;
    candidate = 0;
    history.points.forEach((p) => addPoint(p));
    faults = history.faults;
    $('faults').textContent = '';
    faultsShown = 0;
    renderFaults();
    scheduleDraw();
  });
  source.addEventListener('points', (event) => {
    JSON.parse(event.data).forEach((p) => addPoint(p));
  });
  source.addEventListener('state', (event) => onState(JSON.parse(event.data)));
  source.onerror = () => {
    if (finished) return;
    if (source.readyState === EventSource.CLOSED) {
      // Refused (too many pages open, or a wrong token): try again in a while.
      banner('lost', 'The live view refused this page or is gone; trying again in 5 s');
      setTimeout(connect, 5000);
    } else {
      banner('lost', 'Connection lost: steplink is not answering (the job may have ended); retrying');
    }
  };
}

$('stop').addEventListener('click', () => post('stop'));
$('pause').addEventListener('click', () => post('pause'));
$('resume').addEventListener('click', () => post('resume'));
if (!token) banner('failed', 'No token in this address: open the URL that steplink printed');
else connect();
