// The control panel's jobs and MDI: pick a program from the session's jobs folder, show its
// check (refusals by line), its path in machine mm against the soft limits (view/plot_mm.js) and
// planned time; Run, Pause, Resume, Stop; run from a line after showing what it does and a
// confirm; MDI lines with their refusals and a history. panel.js calls panelJobs() with its posts.
'use strict';
// eslint-disable-next-line no-unused-vars
function panelJobs(api) {
  const $ = (id) => document.getElementById(id);
  const token = api.token;
  let picked = '';        // the program whose check is shown
  let checked = null;     // its check answer, or null
  let lastState = null;
  let frame = null;
  let fromAsked = null;   // {name, line} asked from this page, waiting for its preview/confirm
  let shownSerial = -1;   // the check shown (GET /jobs/check's serial)
  let fetching = false;

  const fmt = (value) => (typeof value === 'number' ? value.toFixed(3) : '–');
  function fmtDuration(seconds) {
    if (typeof seconds !== 'number' || !Number.isFinite(seconds)) return '–';
    const whole = Math.max(0, Math.round(seconds));
    const minutes = Math.floor(whole / 60);
    return minutes + ':' + String(whole % 60).padStart(2, '0');
  }
  async function getJson(path) {
    const response = await fetch(path + (path.includes('?') ? '&' : '?') + 'token=' +
                                 encodeURIComponent(token), {cache: 'no-store'});
    const body = await response.json().catch(() => null);
    if (!response.ok || !body) {
      throw new Error(body && body.message ? body.message : 'HTTP ' + response.status);
    }
    return body;
  }

  // ---- The list of programs ----
  async function loadList() {
    let list;
    try {
      list = await getJson('/jobs');
    } catch (error) {
      $('job-check').textContent = 'The list of programs is not available: ' + error.message;
      return;
    }
    const select = $('job-pick');
    const keep = select.value;
    while (select.options.length > 1) select.remove(1);
    const names = (list.jobs || []).map((entry) => entry.name);
    for (const name of names) {
      const option = document.createElement('option');
      option.value = name;
      option.textContent = name;
      select.appendChild(option);
    }
    if (names.includes(keep)) select.value = keep;
    if (!names.length) $('job-check').textContent = 'The jobs folder ' + list.dir + ' holds no program.';
    if (list.truncated) api.say('Only the first ' + names.length + ' programs of the folder are listed');
  }
  $('job-list').addEventListener('click', loadList);
  // A check holds for the offsets and the position it was made with, and a preview of a run
  // from a line replaces the whole program's: checking again is one click.
  $('job-pick').addEventListener('change', () => askCheck($('job-pick').value));
  $('job-recheck').addEventListener('click', () => askCheck(picked));
  async function askCheck(name) {
    picked = name;
    cancelFrom();
    if (!name) return;
    $('job-check').className = '';
    $('job-check').textContent = 'Checking ' + name + '…';
    const reply = await api.command('check', {name});
    if (!reply.ok) {
      $('job-check').className = 'refused';
      $('job-check').textContent = 'Not checked: ' + (reply.message || 'no answer');
    }
  }

  // ---- Check and preview: always the server's latest check (GET /jobs/check) ----
  function showRefusals(refusals, count) {
    const list = $('job-refusals');
    list.textContent = '';
    for (const refusal of refusals) {
      const item = document.createElement('li');
      item.textContent = (refusal.line ? 'line ' + refusal.line : 'the program') + ': ' + refusal.message;
      item.dataset.line = String(refusal.line);
      list.appendChild(item);
    }
    if (count > refusals.length) {
      const item = document.createElement('li');
      item.textContent = 'and ' + (count - refusals.length) + ' more';
      list.appendChild(item);
    }
    list.hidden = refusals.length === 0;
  }
  async function fetchCheck(serial) {
    let reply;
    try {
      reply = await getJson('/jobs/check');
    } catch (error) {
      return;  // none yet (404), or the connection is lost: the banner says so
    }
    if (reply.state === 'checking') { shownSerial = -1; return; }  // the next state fetches again
    if (serial !== undefined && reply.serial < serial) { shownSerial = -1; return; }
    shownSerial = reply.serial;
    checked = reply;
    picked = reply.name;
    const select = $('job-pick');
    if (![...select.options].some((option) => option.value === reply.name)) await loadList();
    select.value = reply.name;
    const line = $('job-check');
    const refusals = reply.refusals || [];
    const count = Math.max(reply.refusal_count || 0, refusals.length);
    const what = reply.from_line ? reply.name + ' from line ' + reply.from_line.line : reply.name;
    if (reply.ok && count === 0) {
      line.className = 'checked';
      line.textContent = what + ' checks: ' + reply.lines + ' lines, ' + reply.calls + ' calls';
    } else {
      line.className = 'refused';
      line.textContent = what + ' does not check: ' + count + ' refusal' + (count === 1 ? '' : 's') +
                         ' (by line below); it cannot run';
    }
    showRefusals(refusals, count);
    showPreview(reply);
    showFrom(reply);
    updateButtons();
  }

  // The path in machine mm over the program's extent and the soft limits together, so that
  // where the program sits on the table (and whether it leaves it) shows at a glance.
  function showPreview(reply) {
    const limits = reply.limits;
    $('job-planned').textContent = typeof reply.planned_seconds === 'number'
      ? fmtDuration(reply.planned_seconds) + ' (' + reply.planned_seconds.toFixed(1) + ' s)' : '–';
    const extents = reply.extents_mm;
    const path = reply.path;
    if (path && path.points && path.points.length && extents) {
      const min = [extents.min[0], extents.min[1]];
      const max = [extents.max[0], extents.max[1]];
      if (limits) {
        min[0] = Math.min(min[0], limits.x[0]);
        min[1] = Math.min(min[1], limits.y[0]);
        max[0] = Math.max(max[0], limits.x[1]);
        max[1] = Math.max(max[1], limits.y[1]);
      }
      frame = plotMm.layout($('job-grid'), min, max);
      // The check's points are [x, y, z, kind, line]; the shared drawing takes the live plan's
      // [x, y, z, purpose, aux, line].
      const plan = {purposes: path.kinds, points: path.points.map((p) => [p[0], p[1], p[2], p[3], -1, p[4]])};
      plotMm.drawPlanned($('job-path'), $('job-marks'), plan, frame);
      const box = $('job-limits');
      box.textContent = '';
      if (limits) {
        plotMm.svgNode('rect', {class: 'limits', x: frame.px(limits.x[0]), y: frame.py(limits.y[1]),
                                width: frame.px(limits.x[1]) - frame.px(limits.x[0]),
                                height: frame.py(limits.y[0]) - frame.py(limits.y[1])}, box);
      }
      $('job-preview').hidden = false;
      drawTable();
    } else {
      $('job-preview').hidden = true;
    }
    if (extents) {
      ['x', 'y', 'z'].forEach((axis, index) => {
        $('ex-' + axis).textContent = fmt(extents.min[index]) + ' … ' + fmt(extents.max[index]);
        const limit = limits && limits[axis];
        const inside = !limit || (extents.min[index] >= limit[0] - 1e-9 && extents.max[index] <= limit[1] + 1e-9);
        $('ex-' + axis).className = inside ? '' : 'refused';
        $('lim-' + axis).textContent = limit ? fmt(limit[0]) + ' … ' + fmt(limit[1]) : '–';
      });
    }
    $('job-extents').hidden = !extents;
  }
  function drawTable() {
    const dot = $('job-table');
    const table = lastState && lastState.table_mm;
    if (!frame || !table || $('job-preview').hidden) { dot.setAttribute('visibility', 'hidden'); return; }
    dot.setAttribute('cx', frame.px(table.x));
    dot.setAttribute('cy', frame.py(table.y));
    dot.setAttribute('visibility', 'visible');
  }

  // ---- Run, Pause, Resume, Stop ----
  const job = () => (lastState && lastState.job) || {};
  const active = () => ['running', 'paused', 'checking'].includes(job().state);
  function updateButtons() {
    const state = job().state;
    const checks = !!(checked && checked.ok && !(checked.refusal_count || (checked.refusals || []).length));
    $('job-run').disabled = !checks || !!checked.from_line || active();
    $('job-pause').disabled = state !== 'running';
    // Resume also goes on with an MDI line paused by its own M0, M1 or M6.
    const mdiPaused = !!(lastState && lastState.mdi && lastState.mdi.state === 'paused');
    $('job-resume').disabled = state !== 'paused' && !mdiPaused;
    $('from-show').disabled = !picked || active();
    $('job-recheck').disabled = !picked || active();
    $('from-confirm').disabled = active() || !checks;
  }
  $('job-run').addEventListener('click', () => api.command('run', {name: picked}));
  $('job-pause').addEventListener('click', () => api.command('pause'));
  $('job-resume').addEventListener('click', () => api.command('resume'));
  $('job-stop').addEventListener('click', () => api.stop());

  // ---- Run from a line: show what it does, confirm, run ----
  function cancelFrom() {
    fromAsked = null;
    $('from-steps').hidden = true;
    $('from-steps').textContent = '';
    $('from-confirm').hidden = true;
    $('from-cancel').hidden = true;
  }
  // A check from a line asked from this page: what it will do, and the confirm.
  function showFrom(reply) {
    const from = reply.from_line;
    if (!from || !fromAsked || fromAsked.name !== reply.name || fromAsked.line !== from.line) {
      if (!from) cancelFrom();
      return;
    }
    const list = $('from-steps');
    list.textContent = '';
    const add = (text) => { const item = document.createElement('li'); item.textContent = text; list.appendChild(item); };
    add('Modal state rebuilt from the lines before: ' + from.modal);
    // The approach's steps in order (the auxiliary output among them); a position only where
    // the step moves the table.
    let at = '';
    for (const step of from.approach || []) {
      const to = step.to_mm || [];
      const where = 'machine X ' + fmt(to[0]) + ' Y ' + fmt(to[1]) + ' Z ' + fmt(to[2]) + ' mm';
      add(step.what + (where !== at ? ' (' + where + ')' : ''));
      at = where;
    }
    add('Then the program from line ' + from.line);
    list.hidden = false;
    const ok = reply.ok && !(reply.refusal_count || (reply.refusals || []).length);
    $('from-confirm').textContent = 'Confirm: run ' + reply.name + ' from line ' + from.line;
    $('from-confirm').hidden = !ok;
    $('from-cancel').hidden = false;
    if (ok) $('from-confirm').focus();
  }
  $('from-show').addEventListener('click', async () => {
    cancelFrom();
    const line = Number($('from-line').value);
    if (!Number.isInteger(line) || line < 1) { api.say('The line must be a whole number from 1'); return; }
    fromAsked = {name: picked, line};
    const reply = await api.command('run-from-line', {name: picked, line});
    if (!reply.ok) fromAsked = null;
  });
  $('from-confirm').addEventListener('click', async () => {
    if (!fromAsked) return;
    const asked = fromAsked;
    cancelFrom();
    await api.command('run-from-line', {name: asked.name, line: asked.line, confirmed: true});
  });
  $('from-cancel').addEventListener('click', cancelFrom);
  $('from-steps').parentElement.addEventListener('keydown', (event) => {
    if (event.key === 'Escape' && fromAsked) { event.preventDefault(); cancelFrom(); $('from-line').focus(); }
  });

  // ---- MDI: the line, its answer, and the server's history of lines sent ----
  $('mdi-form').addEventListener('submit', async (event) => {
    event.preventDefault();
    const input = $('mdi-line');
    const line = input.value.trim();
    if (!line) return;
    const result = $('mdi-result');
    const reply = await api.post('/cmd/mdi', {line});
    result.className = reply.ok ? 'checked' : 'refused';
    result.textContent = reply.ok ? 'Sent: ' + line + (reply.message ? ' (' + reply.message + ')' : '')
                                  : 'Refused: ' + (reply.message || 'no reason given');
    if (reply.ok) input.value = '';  // a refused line stays, to be mended
  });
  function showHistory(history) {
    if (!Array.isArray(history)) return;
    const list = $('mdi-history');
    const key = JSON.stringify(history.length ? history[history.length - 1] : null) + history.length;
    if (list.dataset.key === key) return;
    list.dataset.key = key;
    list.textContent = '';
    for (const entry of history) {
      const item = document.createElement('li');
      item.textContent = entry.line + (entry.ok ? '' : ': ' + entry.message);
      item.className = entry.ok ? '' : 'refused';
      list.appendChild(item);
    }
  }

  // ---- State, from panel.js's stream ----
  function render(state) {
    lastState = state;
    const now = job();
    const says = now.name ? now.name + ': ' + (now.state || 'idle') +
                            (now.from_line ? ' from line ' + now.from_line : '') +
                            (now.pause_reason ? ' (' + now.pause_reason + ')' : '') : 'none';
    $('job-now').textContent = '(' + says + ')';
    $('job-now').dataset.state = now.state || 'idle';
    const running = ['running', 'paused'].includes(now.state);
    const percent = typeof now.percent === 'number' ? now.percent : null;
    $('job-progress').value = percent === null ? 0 : percent;
    $('job-line').textContent = now.line ? now.line + (now.lines ? ' of ' + now.lines : '') : '–';
    $('job-percent').textContent = percent === null ? '–' : percent.toFixed(1) + ' %';
    $('job-left').textContent = running ? fmtDuration(now.seconds_left) : '–';
    if (state.mdi) {
      showHistory(state.mdi.history);
      $('mdi-modal').textContent = state.mdi.modal || '–';
      $('mdi-state').textContent = state.mdi.state === 'paused'
        ? '(the line is paused: ' + (state.mdi.pause_reason || 'program pause') + '; Resume above goes on)'
        : state.mdi.state === 'running' ? '(running)' : '';
    }
    if (typeof now.check_serial === 'number' && now.check_serial !== shownSerial &&
        now.state !== 'checking' && !fetching) {
      fetching = true;
      fetchCheck(now.check_serial).finally(() => { fetching = false; });
    }
    updateButtons();
    drawTable();
  }

  if (token) loadList();
  return {render};
}
