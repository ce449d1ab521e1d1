// The live page's logic: follows the event stream of the steplink view server, keeps a bounded,
// decimated copy of the path, draws both plots and posts Stop/Pause/Resume with the token. A
// G-code job's page also loads the planned path (/plan) and draws in mm: the plan in grey, the
// part done over it in colour. Everything from the job is set with textContent only.
'use strict';

const token = new URLSearchParams(location.search).get('token') || '';
const $ = (id) => document.getElementById(id);
const setText = (id, text) => { $(id).textContent = text; };

const MAX_POINTS = 4000;  // the page never keeps more: halving doubles the stride
let points = [];          // [timeSeconds, x, y, z, aux, machine mm or null (G-code)]
let stride = 1;
let candidate = 0;
let faults = [];
let faultsShown = 0;
let state = null;
let finished = false;
let source = null;
let drawPending = false;
let plan = null;          // GET /plan: the planned path in mm and the axis scales (G-code only)
let frame = null;         // the mm plot's mapping: {px, py}

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
  if (s.state === 'gone') {
    return ['gone', "The job's process is gone: it ended without closing its status block"];
  }
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
    // A G-code job counts as its report does: the plan's vectorOut and reference calls only.
    let of = s.call.count ? ' (call ' + s.call.index + ' of ' + s.call.count + ')' : '';
    if (typeof s.call.total === 'number') {
      of = s.call.number ? ' (call ' + s.call.number + ' of ' + s.call.total + ')' : '';
    }
    setText('call', s.call.method + args + of);
  } else {
    setText('call', s.running ? 'between calls' : '–');
  }
  $('mm-row').hidden = !s.gcode;
  $('gcode').hidden = !s.gcode;
  if (s.gcode) {
    const commanded = commandedMm(s);
    setText('mm-x', fmtMm(commanded && commanded.x));
    setText('mm-y', fmtMm(commanded && commanded.y));
    setText('mm-z', fmtMm(commanded && commanded.z));
    if (plan) {
      const table = mmOf(s.table_mm);
      setText('tmm-x', fmtMm(table && table.x));
      setText('tmm-y', fmtMm(table && table.y));
      setText('tmm-z', fmtMm(table && table.z));
      setText('where-table', table ? 'table X ' + fmtMm(table.x) + ' Y ' + fmtMm(table.y) + ' Z ' +
              fmtMm(table.z) + ' mm' : 'table – (homing)');
      setText('where-commanded', commanded ? 'commanded X ' + fmtMm(commanded.x) + ' Y ' +
              fmtMm(commanded.y) + ' Z ' + fmtMm(commanded.z) + ' mm' : 'commanded –');
    }
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
  requestAnimationFrame(() => { drawPending = false; if (plan) drawDone(); else drawXY(); drawZ(); });
}

// Machine mm of the table as the server gives them (table_mm, and each corner's sixth element):
// null while machine zero is unknown (a reference run in progress).
const mmOf = (m) => (m ? {x: m.x !== undefined ? m.x : m[0], y: m.y !== undefined ? m.y : m[1],
                          z: m.z !== undefined ? m.z : m[2]} : null);

// Where the program sends the table: the end of the move in progress, else the last step's end.
function commandedMm(s) {
  if (!s.mm) return null;
  if (!plan || !s.move) return s.mm;
  // The job section's mm is where the plan has the table as the call begins; the move's own
  // distance (steps, z codes moving nothing) takes it to the end, whatever the table's origin.
  const end = {};
  for (const axis of ['x', 'y', 'z']) {
    const scale = plan.axes[axis];
    const steps = s.move.to[axis] - s.move.from[axis];
    end[axis] = s.mm[axis] + (scale.invert ? -steps : steps) / scale.steps_per_mm;
  }
  return end;
}

// Equal mm per pixel on both axes over the plan's extent (view/plot_mm.js, shared with the panel).
function layoutPlan() {
  frame = plotMm.layout($('plan-grid'), plan.min, plan.max);
}

// The planned path: rapids dashed, travel dotted, cuts solid, marks for dwells, pauses, tools.
function drawPlanned() {
  plotMm.drawPlanned($('plan-path'), $('plan-marks'), plan, frame);
}

// The part done, from the table's positions in machine mm: coloured by the auxiliary state.
// Corners without mm (a reference run under way) are left out: the path joins the plan's
// position before homing to where homing leaves the table, as the plan draws it.
function drawDone() {
  const group = $('done-path');
  group.textContent = '';
  const all = points.filter((p) => p[5]).map((p) => [mmOf(p[5]), p[4]]);
  if (state && state.block && state.table_mm) all.push([mmOf(state.table_mm), state.aux]);
  let run = null;
  let d = '';
  const flush = () => { if (run !== null && d) plotMm.svgNode('path', {class: run, d}, group); d = ''; };
  for (let i = 1; i < all.length; ++i) {
    const kind = all[i][1] === 1 ? 'done aux-on' : 'done';
    const from = all[i - 1][0];
    if (kind !== run) {
      flush();
      run = kind;
      d = 'M' + frame.px(from.x).toFixed(1) + ' ' + frame.py(from.y).toFixed(1);
    }
    const to = all[i][0];
    d += 'L' + frame.px(to.x).toFixed(1) + ' ' + frame.py(to.y).toFixed(1);
  }
  flush();
  const dot = $('table-now');
  const move = $('move-now');
  const table = state && state.block ? mmOf(state.table_mm) : null;
  if (!table) {
    dot.setAttribute('visibility', 'hidden');
    move.setAttribute('visibility', 'hidden');
  } else {
    dot.setAttribute('cx', frame.px(table.x));
    dot.setAttribute('cy', frame.py(table.y));
    dot.setAttribute('visibility', 'visible');
    const to = state.move && commandedMm(state);
    if (to) {
      move.setAttribute('x1', frame.px(table.x));
      move.setAttribute('y1', frame.py(table.y));
      move.setAttribute('x2', frame.px(to.x));
      move.setAttribute('y2', frame.py(to.y));
      move.setAttribute('visibility', 'visible');
    } else {
      move.setAttribute('visibility', 'hidden');
    }
  }
}

async function loadPlan() {
  let response;
  try {
    response = await fetch('/plan?token=' + encodeURIComponent(token), {cache: 'no-store'});
  } catch (error) {
    setTimeout(loadPlan, 2000);  // the stream's banner says that the connection is lost
    return;
  }
  if (response.status === 404) return;  // a script job or a watched block: the plot in steps
  if (!response.ok) { banner('failed', 'The planned path was refused: ' + (await response.text())); return; }
  plan = await response.json();
  $('xy-steps').hidden = true;
  $('xy-mm').hidden = false;
  $('table-mm-row').hidden = false;
  setText('z-unit', 'mm');
  layoutPlan();
  drawPlanned();
  if (state) onState(state);
  scheduleDraw();
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
  // A G-code job's Z in machine mm (corners with mm only), a script's in steps.
  const zPoints = plan ? points.filter((p) => p[5]) : points;
  if (zPoints.length < 1) return;
  const t0 = zPoints[0][0];
  const t1 = Math.max(zPoints[zPoints.length - 1][0], state && state.time_s ? state.time_s : 0, t0 + 1e-3);
  const zOf = (p) => (plan ? mmOf(p[5]).z : p[3]);
  const unit = plan ? ' mm' : '';
  const tableNow = state && state.block && (plan ? state.table_mm : state.steps);
  const zNow = tableNow ? tableNow.z : zOf(zPoints[zPoints.length - 1]);
  const zs = zPoints.map(zOf).concat([zNow]);
  const minZ = Math.min(...zs, 0);
  const maxZ = Math.max(...zs, 1);
  const auxBand = 24;
  const px = (t) => 8 + (t - t0) / (t1 - t0) * (w - 16);
  const pz = (z) => (h - auxBand - 12) - (z - minZ) / (maxZ - minZ) * (h - auxBand - 36);
  g.fillStyle = '#2e9e5b';
  for (let i = 0; i < zPoints.length; ++i) {
    if (zPoints[i][4] !== 1) continue;
    const end = i + 1 < zPoints.length ? zPoints[i + 1][0] : t1;
    g.fillRect(px(zPoints[i][0]), h - auxBand + 4, Math.max(1, px(end) - px(zPoints[i][0])), auxBand - 8);
  }
  g.strokeStyle = '#2f6fd6';
  g.lineWidth = 2;
  g.beginPath();
  // Corners of straight moves: Z changes linearly between them.
  zPoints.forEach((p, i) => (i ? g.lineTo(px(p[0]), pz(zOf(p))) : g.moveTo(px(p[0]), pz(zOf(p)))));
  g.lineTo(px(t1), pz(zNow));
  g.stroke();
  g.fillStyle = '#667085';
  g.font = '12px system-ui, sans-serif';
  const fmtZ = (z) => (plan ? String(Math.round(z * 1000) / 1000) : String(z));
  g.fillText('z ' + fmtZ(minZ) + '…' + fmtZ(maxZ) + unit + '   ' + t0.toFixed(1) + '…' +
             t1.toFixed(1) + ' s', 8, 14);
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
else { connect(); loadPlan(); }
