// Which page controls the table, on the page: the id the server issues this page (hello), sent
// with every request; a beat every second keeps it known (and control, the server drops it after
// 5 s without one); Take control, take-over after an inline confirm (never a dialog: Stop stays
// in reach), Release, and a notice when another page took control. Runs before panel.js, which
// reads window.steplinkControl.
'use strict';
(function () {
  const token = new URLSearchParams(location.search).get('token') || '';
  const $ = (id) => document.getElementById(id);
  const beatMs = 1000;
  // What only the page in control may use (the server refuses it from any other page): marked
  // aria-disabled on a watching page and described by the control state, but still clickable,
  // so that a click says why nothing happened. Stop and Take control stay open to every page.
  const gated = '[data-home], #jog button, [data-zero], #goto-zero, #aux-on, #aux-off, #job-pick, ' +
      '#job-recheck, #job-run, #job-pause, #job-resume, #from-show, #from-confirm, #mdi-line, ' +
      '#mdi-send, #quit';
  let page = '';
  let mine = false;
  let resolveReady;
  const ready = new Promise((resolve) => { resolveReady = resolve; });

  function headers() {
    return {'X-Steplink-Token': token, 'X-Steplink-Page': page, 'Content-Type': 'application/json'};
  }
  async function post(name, body, keepalive) {
    try {
      const response = await fetch('/cmd/' + name, {
        method: 'POST', headers: headers(), body: JSON.stringify(body || {}), cache: 'no-store',
        keepalive: !!keepalive,
      });
      return await response.json().catch(() => ({ok: response.ok, message: ''}));
    } catch (error) {
      return {ok: false, message: 'no answer from the panel: ' + error.message};
    }
  }
  function say(text) { if (text) $('message').textContent = text; }

  async function hello() {
    for (;;) {
      const reply = await post('hello');
      if (reply.ok && reply.page) {
        page = reply.page;
        show(reply.control);
        resolveReady(page);
        return;
      }
      await new Promise((resolve) => setTimeout(resolve, 1000));
    }
  }
  setInterval(async () => {
    if (!page) return;
    const reply = await post('beat');
    if (reply.control && reply.control.known === false) hello();  // forgotten: a new id
  }, beatMs);

  // ---- What this page is shown ----
  function show(control) {
    if (!control) return;
    const was = mine;
    mine = !!control.mine;
    document.body.dataset.control = mine ? 'mine' : control.other ? 'other' : 'none';
    $('control-state').textContent = mine ? 'This page controls the table'
      : control.other ? 'Another page controls the table: this page only watches (Stop works)'
      : 'No page controls the table: this page only watches';
    for (const node of document.querySelectorAll(gated)) {
      node.setAttribute('aria-disabled', mine ? 'false' : 'true');
      if (mine) node.removeAttribute('aria-describedby');
      else node.setAttribute('aria-describedby', 'control-state');
    }
    $('take-control').hidden = mine;
    $('release-control').hidden = !mine;
    if (mine) {
      $('take-over').hidden = true;
      $('control-notice').textContent = '';
    } else if (was || control.lost) {
      $('control-notice').textContent = control.lost
        ? 'This page lost control: ' + control.lost
        : 'This page no longer controls the table';
    }
  }

  async function take(takeOver) {
    const reply = await post('control-take', {take_over: takeOver});
    show(reply.control);
    if (!reply.ok && reply.control && reply.control.other) {
      $('take-over').hidden = false;  // asks here, not in a dialog
      $('take-over-yes').focus();
      return;
    }
    $('take-over').hidden = true;
    say(reply.message);
  }
  $('take-control').addEventListener('click', () => take(false));
  $('take-over-yes').addEventListener('click', () => take(true));
  $('take-over-no').addEventListener('click', () => { $('take-over').hidden = true; });
  $('release-control').addEventListener('click', async () => {
    const reply = await post('control-release');
    show(reply.control);
    say(reply.message);
  });
  // A page that goes away hands control back at once (the server's timeout otherwise).
  window.addEventListener('pagehide', () => { if (mine) post('control-release', {}, true); });

  window.steplinkControl = {
    ready,
    headers: () => ({'X-Steplink-Page': page}),
    page: () => page,
    render: (state) => show(state.control),
  };
  hello();
})();
