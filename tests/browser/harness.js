// What every browser test shares: skip (exit 77 with the reason) and fail, finding Debian's
// Chromium and the pinned puppeteer-core, and starting `steplink panel` until it prints its URL.
// Node only; the tests drive the page themselves.
'use strict';

const {spawn} = require('child_process');
const fs = require('fs');
const path = require('path');

const chromium = process.env.STEPLINK_CHROMIUM || '/usr/bin/chromium';
let failedAny = false;

function skip(why) {
  console.log('SKIP: ' + why);
  process.exit(77);
}

// Records a failure and goes on, so that one run shows every check that fails.
function fail(why) {
  console.log('FAIL: ' + why);
  failedAny = true;
  process.exitCode = 1;
}

const failed = () => failedAny;
const sleep = (ms) => new Promise((resolve) => setTimeout(resolve, ms));

// puppeteer-core from the build tree's node modules; skips when it or Chromium is missing.
function loadPuppeteer(modules) {
  if (!fs.existsSync(chromium)) {
    skip(chromium + ' is missing (scripts/install-deps.sh installs chromium); browser test skipped');
  }
  try {
    return require(require.resolve('puppeteer-core', {paths: [modules]}));
  } catch (error) {
    skip('puppeteer-core is not installed in ' + modules + ' (the browser_npm fixture runs npm ' +
         'ci there; it needs the npm registry): ' + error.message.split('\n')[0]);
  }
  return null;
}

// Starts `RUNNER panel ARGS...`; `url` resolves with the page address it prints on standard error
// (within 10 s), `ended` with its exit; `output` is the last of what it printed, for a failure.
function startPanel(runner, args) {
  const child = spawn(runner, ['panel', ...args], {stdio: ['ignore', 'pipe', 'pipe']});
  let out = '';
  let err = '';
  child.stdout.on('data', (chunk) => { out += chunk; if (out.length > 1e6) out = out.slice(-5e5); });
  const ended = new Promise((resolve) => child.on('exit', (code, signal) => resolve({code, signal})));
  const url = new Promise((resolve, reject) => {
    const timer = setTimeout(() => reject(new Error('no URL within 10 s: ' + err)), 10000);
    child.stderr.on('data', (chunk) => {
      err += chunk;
      if (err.length > 1e6) err = err.slice(-5e5);
      const found = /panel at (http:\/\/127\.0\.0\.1:\d+\/\?token=[0-9a-f]+)/.exec(err);
      if (found) { clearTimeout(timer); resolve(found[1]); }
    });
    child.on('exit', () => reject(new Error('the panel ended before it printed a URL: ' + err)));
  });
  return {child, url, ended, output: () => out.slice(-4000) + err.slice(-4000)};
}

// The panel's state as the server has it, read from here (not from a page), so that a page cut
// off the network does not cut the test off too. `tableArray`: table_mm as [x, y, z] for checks
// that index it by axis number.
function watchState(url, {tableArray = true} = {}) {
  const stateUrl = url.replace('/?token=', '/state?token=');
  const state = async () => {
    const s = await (await fetch(stateUrl, {cache: 'no-store'})).json();
    if (tableArray) s.table_mm = [s.table_mm.x, s.table_mm.y, s.table_mm.z];
    return s;
  };
  const near = (a, b, tolerance = 0.026) => Math.abs(a - b) <= tolerance;
  // Polls until `test(state)` holds; the state, or a failure after `ms`.
  async function until(what, test, ms = 15000) {
    const deadline = Date.now() + ms;
    let last = null;
    while (Date.now() < deadline) {
      last = await state();
      if (test(last)) return last;
      await sleep(20);
    }
    throw new Error('timed out waiting for ' + what + '; last state: ' + JSON.stringify(last));
  }
  // From `since`: the time until the table stands still, that is until the server has no call in
  // flight and holds no jog (a pause in the position alone proves nothing on a loaded machine,
  // where the call process may wait for a CPU); then the position must not change for 500 ms.
  async function stillAfter(since) {
    const deadline = Date.now() + 5000;
    while (Date.now() < deadline) {
      const now = await state();
      if (!now.moving && !now.jogging && now.busy === '') {
        const stoodAt = Date.now() - since;
        const where = JSON.stringify(now.table_mm);
        await sleep(500);
        if (JSON.stringify((await state()).table_mm) !== where) {
          fail('the table moved after it stood still');
        }
        return stoodAt;
      }
      await sleep(10);
    }
    return Infinity;
  }
  return {state, near, until, stillAfter};
}

// Debian's Chromium, headless, with a profile of its own in `work`; no sandbox, as root on a CI
// machine it needs a user namespace it may not get there.
function launchBrowser(puppeteer, work, height = 1000) {
  return puppeteer.launch({
    executablePath: chromium,
    headless: true,
    args: ['--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
           '--disable-background-networking', '--disable-component-update', '--disable-sync',
           '--window-size=1280,' + height],
    userDataDir: path.join(work, 'profile'),
    timeout: 30000,
  });
}

// Resolves with the process's exit ({code, signal}) once it ends, or null after `ms`.
function endedWithin(started, ms) {
  return Promise.race([started.ended, sleep(ms).then(() => null)]);
}

// Quit on the page ends the panel with 0 within 15 s; false (failed) when it did not.
async function quitEndsPanel(page, panel) {
  await page.click('#quit');
  const ended = await endedWithin(panel, 15000);
  if (!ended) fail('the panel did not end within 15 s of Quit');
  else if (ended.code !== 0) fail('Quit ended the panel with ' + ended.code + '\n' + panel.output());
  return ended !== null && ended.code === 0;
}

// The end of every browser test, passed or not: the browser closed, the process it drove
// killed if still running, the scratch folder removed, and on a failure what the process
// printed.
async function finish({browser, started, work}) {
  await browser.close();
  if (started.child.exitCode === null) started.child.kill('SIGKILL');
  fs.rmSync(work, {recursive: true, force: true});
  if (failedAny && started.output) console.log(started.output());
}

// Runs the test's main: PASS when nothing failed, an exception a failure with its stack.
function runTest(main) {
  main().then(() => {
    if (!process.exitCode) console.log('PASS');
  }, (error) => {
    console.log('FAIL: ' + (error && error.stack || error));
    process.exit(1);
  });
}

module.exports = {chromium, skip, fail, failed, sleep, loadPuppeteer, startPanel, watchState,
                  launchBrowser, endedWithin, quitEndsPanel, finish, runTest};
