// The control panel's script: the state from the event stream (the server's snapshot, 20 a
// second at most), commands as POSTs with the token header, and the jog pad: step jog, or hold
// to jog with a heartbeat every 50 ms (the server stops issuing moves 250 ms after the last).
// A hold ends on release, on losing focus, when the page is hidden, and on the server's deadman.
// Every request carries the page's id (panel_control.js): only the page in control may move.
'use strict';
(function () {
  const token = new URLSearchParams(location.search).get('token') || '';
  const $ = (id) => document.getElementById(id);
  const beatMs = 50;
  let state = null;
  let hold = null;  // {axis, dir, key, timer} while a hold-to-jog runs

  function fmt(value) { return typeof value === 'number' ? value.toFixed(3) : '–'; }
  function say(text) { if (text) $('message').textContent = text; }

  async function post(path, body) {
    try {
      const response = await fetch(path, {
        method: 'POST',
        headers: Object.assign({'X-Steplink-Token': token, 'Content-Type': 'application/json'},
                               window.steplinkControl.headers()),
        body: JSON.stringify(body || {}),
        cache: 'no-store',
      });
      const reply = await response.json().catch(() => ({ok: response.ok, message: ''}));
      return reply;
    } catch (error) {
      return {ok: false, message: 'no answer from the panel: ' + error.message};
    }
  }
  async function command(name, body) {
    const reply = await post('/cmd/' + name, body);
    if (reply.message) say(reply.message);
    return reply;
  }

  // ---- Stop: one click, never behind a dialog ----
  $('stop').addEventListener('click', () => {
    endHold(false);
    post('/stop').then((reply) => say(reply.ok ? 'Stop sent' : reply.message));
  });

  // ---- Jobs and MDI (panel_jobs.js); its Stop is this one ----
  const jobs = panelJobs({token, post, command, say, stop: () => $('stop').click()});

  // ---- Home, work zero, auxiliary output, quit ----
  document.querySelectorAll('[data-home]').forEach((button) => button.addEventListener(
      'click', () => command('home', {axis: button.dataset.home})));
  document.querySelectorAll('[data-zero]').forEach((button) => button.addEventListener(
      'click', () => command('zero', {axis: button.dataset.zero})));
  $('goto-zero').addEventListener('click', () => command('goto-zero'));
  $('aux-on').addEventListener('click', () => command('aux', {on: true}));
  $('aux-off').addEventListener('click', () => command('aux', {on: false}));
  $('quit').addEventListener('click', () => command('quit'));

  // ---- Jog ----
  const pad = $('jog');
  const keys = {
    ArrowLeft: ['x', -1], ArrowRight: ['x', 1], ArrowUp: ['y', 1], ArrowDown: ['y', -1],
    PageUp: ['z', 1], PageDown: ['z', -1],
  };
  function mode() { return document.querySelector('input[name=mode]:checked').value; }
  function stepMm() {
    const other = $('step-other').value.trim();
    if (other !== '') {
      const value = Number(other);
      return Number.isFinite(value) && value > 0 ? value : null;
    }
    return Number(document.querySelector('input[name=step]:checked').value);
  }
  function stepJog(axis, dir) {
    const mm = stepMm();
    if (mm === null) { say('The other step must be a positive number of mm'); return; }
    command('jog', {axis, mm: dir * mm});
  }
  async function startHold(axis, dir, key) {
    if (hold) return;
    hold = {axis, dir, key, timer: null};
    const mine = hold;
    const reply = await command('jog-start', {axis, direction: dir});
    if (hold !== mine) { post('/cmd/jog-stop'); return; }  // released while it was asked
    if (!reply.ok) { hold = null; return; }
    mine.timer = setInterval(() => post('/cmd/jog-beat'), beatMs);
  }
  function endHold(tell) {
    if (!hold) return;
    if (hold.timer) clearInterval(hold.timer);
    hold = null;
    if (tell !== false) post('/cmd/jog-stop');
  }
  pad.addEventListener('keydown', (event) => {
    const target = event.target;
    if (target instanceof HTMLInputElement || target instanceof HTMLTextAreaElement) return;
    const found = keys[event.key];
    if (!found) return;
    event.preventDefault();
    if (event.repeat) return;
    if (mode() === 'hold') startHold(found[0], found[1], event.key);
    else stepJog(found[0], found[1]);
  });
  pad.addEventListener('keyup', (event) => {
    if (hold && hold.key === event.key) endHold();
  });
  pad.querySelectorAll('button').forEach((button) => {
    const axis = button.dataset.axis;
    const dir = Number(button.dataset.dir);
    button.addEventListener('click', () => { if (mode() === 'step') stepJog(axis, dir); });
    button.addEventListener('pointerdown', (event) => {
      if (mode() !== 'hold') return;
      button.setPointerCapture(event.pointerId);
      startHold(axis, dir, null);
    });
    for (const end of ['pointerup', 'pointercancel', 'lostpointercapture']) {
      button.addEventListener(end, () => { if (hold && hold.key === null) endHold(); });
    }
  });
  // Whatever takes the focus or the page away ends a hold.
  pad.addEventListener('focusout', (event) => {
    if (!pad.contains(event.relatedTarget)) endHold();
  });
  window.addEventListener('blur', () => endHold());
  window.addEventListener('pagehide', () => endHold());
  document.addEventListener('visibilitychange', () => {
    if (document.visibilityState === 'hidden') endHold();
  });

  // ---- State ----
  function render(next) {
    state = next;
    if (!next.panel) return;
    window.steplinkControl.render(next);
    const trust = $('trust');
    if (next.exit_code !== undefined) {
      trust.className = 'banner gone';
      trust.textContent = 'The panel has ended (' + next.state + '); the table is closed';
    } else if (next.trusted) {
      trust.className = 'banner trusted';
      trust.textContent = 'Position trusted (homed)';
    } else {
      trust.className = 'banner untrusted';
      trust.textContent = 'Position NOT trusted: ' + next.trusted_reason;
    }
    ['x', 'y', 'z'].forEach((axis, index) => {
      $('m' + axis).textContent = fmt(next.table_mm[axis]);
      $('w' + axis).textContent = fmt(next.work_mm[index]);
      $('o' + axis).textContent = fmt(next.offsets[axis]);
      $('h' + axis).textContent = next.homed[axis] ? 'yes' : 'no';
    });
    $('coordinate-system').textContent = next.coordinate_system || 'G54';
    $('limits').textContent = next.limits_enforced
      ? 'Soft limits hold. Safe height Z ' + fmt(next.safe_z_mm) + ' mm.'
      : 'Not homed: only step jog, and soft limits are NOT enforced.';
    $('aux-state').textContent = next.aux === 1 ? 'on' : next.aux === 0 ? 'off' : 'unknown';
    if (next.message_serial !== render.serial) {
      render.serial = next.message_serial;
      say(next.message);
    }
    const holdMode = document.querySelector('input[name=mode][value=hold]');
    holdMode.disabled = !next.trusted;
    if (!next.trusted && mode() === 'hold') {
      document.querySelector('input[name=mode][value=step]').checked = true;
    }
    if (hold && !next.jogging && next.busy === '' && render.sawJog) endHold(false);
    render.sawJog = next.jogging;
    document.body.dataset.moving = next.moving || next.jogging || next.busy !== '' ? '1' : '0';
    jobs.render(next);
  }
  // The stream carries this page's id: its state says whether this page controls.
  window.steplinkControl.ready.then((page) => {
    const events = new EventSource('/events?token=' + encodeURIComponent(token) + '&page=' +
                                   encodeURIComponent(page));
    events.addEventListener('state', (event) => render(JSON.parse(event.data)));
    events.onerror = () => {
      const trust = $('trust');
      trust.className = 'banner gone';
      trust.textContent = 'No connection to the panel (reconnecting…)';
    };
  });
})();
