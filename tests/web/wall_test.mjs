// The wall in headless Chromium, served by a real Mosquitto, over two simulated buses that
// tarvello-ctl watch publishes as two sites: what it shows, how it follows the buses, its
// log-in, its languages, and that it never publishes.
//
//   node wall_test.mjs --wall DIR --modules DIR --sim tarvello-sim --ctl tarvello-ctl
//
// Exit status 77 (skipped) when Chromium or the node modules are absent; under CI=true their
// absence is a failure.
import { after, before, test } from 'node:test';
import assert from 'node:assert/strict';
import fs from 'node:fs';
import { createRequire } from 'node:module';
import os from 'node:os';
import path from 'node:path';
import { parseArgs } from 'node:util';
import { spawnSync } from 'node:child_process';

import { Rig, WallPassword, WallUser, run, waitFor } from './rig.mjs';

const { values: args } = parseArgs({
  options: { wall: { type: 'string' }, modules: { type: 'string' }, sim: { type: 'string' }, ctl: { type: 'string' } },
});
const chromiumPath = process.env.TARVELLO_CHROMIUM || '/usr/bin/chromium';

function missing() {
  if (!fs.existsSync(chromiumPath))
    return `no Chromium at ${chromiumPath} (scripts/setup-deps installs Debian's chromium)`;
  if (!fs.existsSync(path.join(args.modules || '', 'playwright-core')))
    return `no playwright-core in ${args.modules} (the build installs it with npm ci)`;
  if (!fs.existsSync(path.join(args.wall || '', 'mqtt.min.js')))
    return `the wall in ${args.wall} has no mqtt.min.js (build the target wall)`;
  if (spawnSync('mosquitto', ['-h']).error)
    return 'no mosquitto';
  return null;
}
const absent = missing();
if (absent) {
  console.log(`SKIPPED: ${absent}`);
  process.exit(process.env.CI === 'true' ? 1 : 77);
}

const { chromium } = createRequire(path.join(args.modules, 'index.js'))('playwright-core');

const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'tarvello-wall-'));
const rig = new Rig({ dir, wallDir: args.wall, simExe: args.sim, ctlExe: args.ctl });
let browser;
let north;
let south;

// What the page shows of every site: the tile's attributes and texts, and every cell's.
function readWall(page) {
  return page.evaluate(() => [...document.querySelectorAll('.site')].map((tile) => ({
    site: tile.dataset.site,
    running: tile.dataset.running,
    visible: tile.checkVisibility(),
    runningText: tile.querySelector('.running').textContent,
    counts: tile.querySelector('.counts').textContent,
    groups: [...tile.querySelectorAll('.group')].map((g) => g.querySelector('.group-label').textContent + ' | ' + g.querySelector('.group-counts').textContent),
    cells: [...tile.querySelectorAll('.cell')].map((c) => ({ ...c.dataset, visible: c.checkVisibility() })),
  })));
}

function cell(wall, site, group, id) {
  const tile = wall.find((t) => t.site === site);
  return tile && tile.cells.find((c) => c.group === String(group) && c.id === String(id));
}

function states(tile) {
  return Object.fromEntries(tile.cells.map((c) => [`${c.group}:${c.id}`, c.state]));
}

function count(tile, state) {
  return tile.cells.filter((c) => c.state === state).length;
}

// A snapshot is drawn in one pass: its counts belong to its cells. A device of the simulator may
// time out once on a loaded machine, so the tests wait for the states they expect, and check the
// page's rules against what it shows.
async function wallWith(page, what, expected) {
  return waitFor(what, async () => {
    const w = await readWall(page);
    return w.length === Object.keys(expected).length
      && w.every((t) => t.running === 'true' && JSON.stringify(states(t)) === JSON.stringify(expected[t.site])) && w;
  });
}

const NorthAtStart = { '1:11': 'online', '1:12': 'online', '1:13': 'online', '2:21': 'online', '2:22': 'online', '2:23': 'offline' };
const SouthAtStart = { '1:1': 'online', '1:2': 'online', '1:3': 'online', '1:4': 'online' };

async function openWall(port, { locale = 'en-GB', query = '' } = {}) {
  const context = await browser.newContext({ locale, viewport: { width: 1280, height: 900 } });
  const page = await context.newPage();
  const errors = [];
  page.on('pageerror', (e) => errors.push(String(e)));
  page.on('console', (m) => { if (m.type() === 'error') errors.push(m.text()); });
  await page.goto(`http://127.0.0.1:${port}/index.html${query}`);
  return { page, errors };
}

before(async () => {
  await rig.startBroker();
  north = await rig.addSite('north-hall', { 1: 'Stage', 2: 'Balcony' },
    [[1, 11, 'Stage hoist 1'], [1, 12, 'Stage hoist 2'], [1, 13, 'Stage hoist 3'],
      [2, 21, 'Balcony hoist 1'], [2, 22, 'Balcony hoist 2'], [2, 23, 'Balcony hoist 3']], ['2:23']);
  south = await rig.addSite('south-arena', { 1: 'Truss' },
    [[1, 1, 'Truss 1'], [1, 2, 'Truss 2'], [1, 3, 'Truss 3'], [1, 4, 'Truss 4']]);
  rig.startWatch(north);
  rig.startWatch(south);
  // Logged in and polled once: the log-ins are events from before the page.
  await waitFor('a poll round of each watch', () => north.watch.lines().length && south.watch.lines().length);
  browser = await chromium.launch({
    executablePath: chromiumPath,
    args: ['--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run', '--disable-background-networking',
      '--disable-component-update', '--disable-sync'],
  });
});

after(async () => {
  if (browser)
    await browser.close();
  await rig.stop();
  fs.rmSync(dir, { recursive: true, force: true });
});

let wallPage; // the open listener's page, in English, used by the tests in turn

test('shows both sites with every device, its state and the counts', async () => {
  const { page, errors } = await openWall(rig.wsOpenPort, { query: '?lang=en' });
  wallPage = page;
  const wall = await wallWith(page, 'both sites as on the buses', { 'north-hall': NorthAtStart, 'south-arena': SouthAtStart });
  assert.deepEqual(wall.map((t) => t.site), ['north-hall', 'south-arena']);
  const [n, s] = wall;
  assert.equal(n.counts, '5 on line · 1 off line · 0 unknown · 0 stale');
  assert.equal(s.counts, '4 on line · 0 off line · 0 unknown · 0 stale');
  assert.deepEqual(n.groups, ['Group 1 Stage | 3 of 3 on line', 'Group 2 Balcony | 2 of 3 on line']);
  assert.match(n.runningText, /^running \(version /);
  for (const c of [...n.cells, ...s.cells])
    assert.equal(c.scene, '1');
  assert.equal(cell(wall, 'north-hall', 2, 23).site, 'north-hall');
  const head = await page.evaluate(() => [...document.querySelectorAll('.site-head')].map((h) => h.textContent));
  assert.match(head[0], /Port COM1: open/);
  assert.match(head[0], /Level: Operator/);
  assert.equal(await page.textContent('#connection'), `Connected to the MQTT broker ws://127.0.0.1:${rig.wsOpenPort}.`);
  assert.equal(await page.textContent('.site[data-site="north-hall"] .events li'), 'No events since this page opened.');

  // An event: stop-all on the site's data directory, which its watch sends and records.
  const stop = await run(args.ctl, ['--data-dir', north.dataDir, 'stop-all']);
  assert.equal(stop.status, 0, stop.err);
  await waitFor('the stop-all event', async () => (await page.textContent('.site[data-site="north-hall"] .events li')).includes('Stop all'));
  assert.equal(await page.textContent('.site[data-site="south-arena"] .events li'), 'No events since this page opened.');
  assert.deepEqual(errors, []);
});

test('a device switched off in the simulator turns red within two poll rounds', async () => {
  const answers = north.sim.lines().length;
  north.sim.send('offline 1:12');
  await waitFor('the simulator done', () => north.sim.lines().length > answers);
  assert.equal(north.sim.lines().at(-1), 'ok');
  const roundsBefore = north.watch.lines().length; // a round line is printed when the round ends
  await wallPage.waitForSelector('.cell[data-site="north-hall"][data-group="1"][data-id="12"][data-state="offline"]', { timeout: 20000 });
  const rounds = north.watch.lines().length - roundsBefore;
  assert.ok(rounds <= 2, `${rounds} rounds`);
  const wall = await wallWith(wallPage, 'north-hall with 1:12 off line',
    { 'north-hall': { ...NorthAtStart, '1:12': 'offline' }, 'south-arena': SouthAtStart });
  assert.equal(wall[0].counts, '4 on line · 2 off line · 0 unknown · 0 stale');
  assert.deepEqual(wall[0].groups, ['Group 1 Stage | 2 of 3 on line', 'Group 2 Balcony | 2 of 3 on line']);

  // Its name, group, last poll and health on hover.
  await wallPage.hover('.cell[data-site="north-hall"][data-group="1"][data-id="12"]');
  const tip = await wallPage.textContent('#tip');
  for (const part of ['Stage hoist 2', 'Device 12 · Group 1 Stage', 'north-hall · Scene 1', 'Off line', 'Last poll: ', 'Health: not published'])
    assert.ok(tip.includes(part), `tip: ${tip} lacks ${part}`);
  await wallPage.mouse.move(0, 0);
});

test('problems only, and one site', async () => {
  await wallPage.check('#problems-only');
  let wall = await readWall(wallPage);
  // Only what is not on line, and the sites that have some.
  for (const tile of wall) {
    assert.equal(tile.visible, tile.cells.some((c) => c.state !== 'online'), tile.site);
    for (const c of tile.cells)
      assert.equal(c.visible, c.state !== 'online', `${tile.site} ${c.group}:${c.id} ${c.state}`);
  }
  assert.ok(cell(wall, 'north-hall', 1, 12).visible && cell(wall, 'north-hall', 2, 23).visible);
  await wallPage.uncheck('#problems-only');
  await wallPage.selectOption('#site-filter', 'south-arena');
  wall = await readWall(wallPage);
  assert.deepEqual(wall.map((t) => t.visible), [false, true]);
  await wallPage.selectOption('#site-filter', '');
});

test('the language follows the browser and the switch', async () => {
  await wallPage.click('#language');
  const [n] = await readWall(wallPage);
  assert.equal(n.counts, `在线 ${count(n, 'online')} · 离线 ${count(n, 'offline')} · 未知 ${count(n, 'unknown')} · 过期 ${count(n, 'stale')}`);
  const inGroup = (g) => n.cells.filter((c) => c.group === g && c.state === 'online').length;
  assert.deepEqual(n.groups, [`组 1 Stage | ${inGroup('1')}/3 在线`, `组 2 Balcony | ${inGroup('2')}/3 在线`]);
  assert.equal(await wallPage.getAttribute('html', 'lang'), 'zh-CN');
  assert.equal(await wallPage.textContent('#language'), 'English');
  await wallPage.click('#language');
  assert.equal(await wallPage.textContent('h1'), 'Tarvello wall');
});

test('a broker that asks for a password gets the log-in form; the log-in stays in the tab', async () => {
  const { page, errors } = await openWall(rig.wsLoginPort, { locale: 'zh-CN' });
  await page.waitForSelector('#login:not([hidden])');
  assert.equal(await page.textContent('#login h2'), 'MQTT 服务器要求登录');
  assert.equal(await page.$$eval('.site', (s) => s.length), 0);

  await page.fill('input[name="user"]', WallUser);
  await page.fill('input[name="password"]', 'not-the-password');
  await page.click('#login button');
  await page.waitForSelector('#login:not([hidden]) #login-error:not([hidden])');
  assert.equal(await page.textContent('#login-error'), 'MQTT 服务器拒绝了这个用户名和密码。');

  await page.fill('input[name="password"]', WallPassword);
  await page.click('#login button');
  await waitFor('both sites after the log-in', async () => (await readWall(page)).length === 2);
  assert.equal((await readWall(page))[0].counts.startsWith('在线 '), true);

  await page.reload();
  await waitFor('both sites again, without the form', async () => (await readWall(page)).length === 2);
  assert.equal(await page.isHidden('#login'), true);
  const stored = await page.evaluate(() => ({ session: sessionStorage.getItem('tarvello-wall-login'), local: JSON.stringify(localStorage) }));
  assert.deepEqual(JSON.parse(stored.session), { user: WallUser, password: WallPassword });
  assert.ok(!stored.local.includes(WallPassword));
  assert.deepEqual(errors.filter((e) => !e.includes('WebSocket')), []);
  await page.context().close();
});

test('devices not asked for three poll periods turn stale while their site runs', async () => {
  // The watch frozen: the broker still holds its site as running (its will waits out the
  // keep-alive), but nothing is asked. Its poll period is a second or two, so it takes seconds.
  north.watch.process.kill('SIGSTOP');
  let tile;
  try {
    tile = await waitFor('north-hall stale', async () => {
      const t = (await readWall(wallPage)).find((x) => x.site === 'north-hall');
      return t.cells.every((c) => c.state === 'stale') && t;
    });
    assert.equal(tile.running, 'true');
    assert.match(tile.runningText, /^running/);
    assert.equal(tile.counts, '0 on line · 0 off line · 0 unknown · 6 stale');
    assert.deepEqual(Object.values(states((await readWall(wallPage)).find((x) => x.site === 'south-arena'))),
      ['online', 'online', 'online', 'online']);
    await wallPage.hover('.cell[data-site="north-hall"][data-group="1"][data-id="11"]');
    const tip = await wallPage.textContent('#tip');
    assert.match(tip, /Stale: not asked for three poll periods \(\d+ s each\)/);
    assert.match(tip, /Last poll: \d\d:\d\d:\d\d/);
    await wallPage.mouse.move(0, 0);
  } finally {
    north.watch.process.kill('SIGCONT');
  }
  // Asked again: each cell its state once more.
  await wallWith(wallPage, 'north-hall asked again',
    { 'north-hall': { ...NorthAtStart, '1:12': 'offline' }, 'south-arena': SouthAtStart });
});

test('a killed watch turns its site "not running" and its devices stale', async () => {
  await south.watch.stop('SIGKILL');
  const tile = await waitFor('south-arena not running', async () => {
    const t = (await readWall(wallPage)).find((x) => x.site === 'south-arena');
    return t.running === 'false' && t;
  });
  assert.match(tile.runningText, /^not running since \d\d:\d\d:\d\d$/);
  assert.deepEqual(Object.values(states(tile)), ['stale', 'stale', 'stale', 'stale']);
  assert.equal(tile.counts, '0 on line · 0 off line · 0 unknown · 4 stale');
  assert.equal((await readWall(wallPage))[0].running, 'true');
});

test('the page publishes nothing: the broker received no message from it', async () => {
  // The log does show a refused publish: the wall's user publishing on the MQTT listener.
  const probe = await run('mosquitto_pub', ['-p', String(rig.mqttPort), '-u', WallUser, '-P', WallPassword,
    '-i', 'wall-user-probe', '-t', 'tarvello/north-hall/status', '-m', 'x']);
  assert.equal(probe.status, 0);
  await waitFor('the probe in the log', () => rig.brokerLog().includes('Denied PUBLISH from wall-user-probe'));
  const log = rig.brokerLog();
  const wallClients = new Set([...log.matchAll(/New client connected from \S+ as (tarvello-wall-\w+)/g)].map((m) => m[1]));
  assert.ok(wallClients.size >= 2, log);
  for (const id of wallClients) {
    assert.ok(!log.includes(`Received PUBLISH from ${id} `), `${id} published`);
    assert.ok(!log.includes(`Denied PUBLISH from ${id} `), `${id} tried to publish`);
  }
});
