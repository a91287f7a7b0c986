#!/usr/bin/env node
// The wall at scale (a measuring program, not a test): a publisher of its own puts SITES sites of
// DEVICES devices on a Mosquitto of 127.0.0.1 as the control centres do (retained status and
// device states, events, and what was asked: every device once a minute, said every 5 seconds a
// site), then changes every device's state once a minute, spread evenly, while
// headless Chromium shows the wall. Every sample it prints what drawing the batches cost (as the
// page measures it with performance.now()), the JavaScript heap after a collection and the
// page's DOM nodes; at the end whether the page shows what was published.
//
//   node bench/wall_scale.mjs --build build [--sites 50] [--devices 999] [--minutes 10] [--sample-seconds 30]
//        [--without-polled]
//
// --without-polled: no poll period in the status and no polled topic (as control centres
// published before they said what they asked).
//
// Needs the build's wall and node modules (cmake --build build --target wall, with tests on) and
// Debian's chromium. docs/wall.md has the figures of a run.
import { createRequire } from 'node:module';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import { parseArgs } from 'node:util';

import { BrokerPassword, BrokerUser, Rig, waitFor } from '../tests/web/rig.mjs';

const { values: args } = parseArgs({
  options: {
    build: { type: 'string', default: 'build' },
    sites: { type: 'string', default: '50' },
    devices: { type: 'string', default: '999' },
    minutes: { type: 'string', default: '10' },
    'sample-seconds': { type: 'string', default: '30' },
    'without-polled': { type: 'boolean', default: false },
  },
});
const siteCount = Number(args.sites);
const deviceCount = Number(args.devices);
const minutes = Number(args.minutes);
const sampleMs = Number(args['sample-seconds']) * 1000;
const modules = path.resolve(args.build, 'web/npm/node_modules');
const load = createRequire(path.join(modules, 'index.js'));
const mqtt = load('mqtt');
const { chromium } = load('playwright-core');

const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'tarvello-wall-bench-'));
const rig = new Rig({ dir, wallDir: path.resolve(args.build, 'web/wall') });
let browser = null;
async function cleanUp() {
  if (browser)
    await browser.close().catch(() => {});
  await rig.stop();
  fs.rmSync(dir, { recursive: true, force: true });
}
for (const signal of ['SIGINT', 'SIGTERM'])
  process.on(signal, () => cleanUp().then(() => process.exit(130)));
process.on('unhandledRejection', (e) => {
  console.error(`wall_scale: ${e && e.message ? e.message : e}`);
  cleanUp().then(() => process.exit(1));
});
await rig.startBroker({ logAll: false });

// The devices: IDs 1..DEVICES in groups of 64 (group 1 holds IDs 1-64, ...), 5 % off line at first.
const devices = [];
for (let s = 0; s < siteCount; s++) {
  for (let id = 1; id <= deviceCount; id++)
    devices.push({ site: `site-${String(s + 1).padStart(2, '0')}`, group: Math.min(15, 1 + Math.floor((id - 1) / 64)), id, online: id % 20 !== 0 });
}
const publisher = mqtt.connect(`mqtt://127.0.0.1:${rig.mqttPort}`, { username: BrokerUser, password: BrokerPassword });
await new Promise((resolve, reject) => { publisher.once('connect', resolve); publisher.once('error', reject); });
// QoS 1, as the control centres publish.
const publish = (topic, payload, retain) => new Promise((resolve) => publisher.publish(topic, payload, { qos: 1, retain }, resolve));
function devicePayload(d) {
  return JSON.stringify({ online: d.online, name: `Hoist ${d.id}`, group: d.group, groupName: `Group ${d.group}`, polled: new Date().toISOString() });
}
for (let s = 0; s < siteCount; s++) {
  const site = `site-${String(s + 1).padStart(2, '0')}`;
  await publish(`tarvello/${site}/status`, JSON.stringify({ running: true, port: { name: 'COM1', open: true, lost: false }, scene: 1, level: 'operator', version: '2.1.1',
    ...(args['without-polled'] ? {} : { pollEverySeconds: 60 }) }), true);
}

// What was asked, as a control centre says it: a round of a minute walks the devices in the
// order of their IDs, and each message gives every device's age in runs of 5 seconds.
const started = Date.now();
function polledPayload() {
  const now = Date.now();
  const position = ((now - started) % 60000) / 60000 * deviceCount; // where the round is
  const groups = {};
  let run = null;
  for (let id = 1; id <= deviceCount; id++) {
    const group = Math.min(15, 1 + Math.floor((id - 1) / 64));
    const behind = (position - (id - 1) + deviceCount) % deviceCount; // devices asked since
    const age = Math.floor((behind / deviceCount) * 60 / 5) * 5;
    if (run && run.group === group && run.age === age) {
      run.last = id;
      continue;
    }
    run = { group, first: id, last: id, age };
    (groups[group] ||= []).push(run);
  }
  for (const g of Object.keys(groups))
    groups[g] = groups[g].map((r) => [r.first, r.last, r.age]);
  return JSON.stringify({ time: new Date(now).toISOString(), periodSeconds: 60, listedSeconds: Math.floor((now - started) / 1000), groups });
}
let polledSite = 0;
const polledTimer = setInterval(() => {
  if (args['without-polled'])
    return;
  const site = `site-${String(polledSite % siteCount + 1).padStart(2, '0')}`;
  polledSite++;
  publish(`tarvello/${site}/1/polled`, polledPayload(), true);
}, 5000 / siteCount);
await Promise.all(devices.map((d) => publish(`tarvello/${d.site}/1/device/${d.group}/${d.id}`, devicePayload(d), true)));

browser = await chromium.launch({
  executablePath: process.env.TARVELLO_CHROMIUM || '/usr/bin/chromium',
  args: ['--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run', '--disable-background-networking',
    '--disable-component-update', '--disable-sync'],
});
const page = await browser.newPage({ viewport: { width: 1920, height: 1080 } });
const cdp = await page.context().newCDPSession(page);
await cdp.send('Performance.enable');
const opened = Date.now();
await page.goto(`http://127.0.0.1:${rig.wsOpenPort}/?lang=en`);
await waitFor('every device on the wall', () => page.evaluate((n) => document.querySelectorAll('.cell').length === n, devices.length), 300000);
const firstLoad = await page.evaluate(() => {
  const s = window.tarvelloWall.stats;
  const first = { ms: s.totalMs, batches: s.batches, maxMs: s.maxMs, messages: s.messages };
  s.recentMs.length = 0;
  s.maxMs = 0;
  return first;
});
console.log(`${siteCount} sites x ${deviceCount} devices: ${devices.length} cells drawn ${((Date.now() - opened) / 1000).toFixed(1)} s after opening; `
  + `${firstLoad.messages} messages in ${firstLoad.batches} batches, ${firstLoad.ms.toFixed(0)} ms of drawing, the longest batch ${firstLoad.maxMs.toFixed(0)} ms`);

// Every device changes once a minute: a slice of them every 100 ms; an event a site every 5 s
// (so each site's list of 50 is full after about four minutes).
const tickMs = 100;
const perTick = devices.length / (60000 / tickMs);
let next = 0;
let carry = 0;
let published = 0;
const ticker = setInterval(() => {
  carry += perTick;
  for (; carry >= 1; carry--) {
    const d = devices[next];
    next = (next + 1) % devices.length;
    d.online = !d.online;
    publish(`tarvello/${d.site}/1/device/${d.group}/${d.id}`, devicePayload(d), true);
    published++;
  }
}, tickMs);
let eventSite = 0;
const events = setInterval(() => {
  const site = `site-${String(eventSite % siteCount + 1).padStart(2, '0')}`;
  eventSite++;
  publish(`tarvello/${site}/events`, JSON.stringify({ time: new Date().toISOString(), level: 'operator', source: 'tarvello-ctl', action: 'move', detail: 'up', devices: [{ group: 1, id: 1 }] }), false);
}, 5000 / siteCount);

async function heap() {
  await cdp.send('HeapProfiler.collectGarbage');
  const { usedSize } = await cdp.send('Runtime.getHeapUsage');
  const { metrics } = await cdp.send('Performance.getMetrics');
  const nodes = metrics.find((m) => m.name === 'Nodes').value;
  return { mb: usedSize / 1048576, nodes };
}

const all = [];
const samples = [];
let longest = 0;
let batchesBefore = firstLoad.batches;
const end = Date.now() + minutes * 60000;
console.log('minute  batches  p50 ms  p95 ms  max ms  heap MB  DOM nodes  published');
while (Date.now() < end) {
  await new Promise((resolve) => setTimeout(resolve, sampleMs));
  // The page keeps the last 1000 batch times: percentiles over those, the count and the
  // longest over every batch since the last sample.
  const { times, batches, maxMs } = await page.evaluate(() => {
    const s = window.tarvelloWall.stats;
    const taken = { times: s.recentMs.splice(0), batches: s.batches, maxMs: s.maxMs };
    s.maxMs = 0;
    return taken;
  });
  all.push(...times);
  longest = Math.max(longest, maxMs);
  const sorted = [...times].sort((a, b) => a - b);
  const at = (q) => (sorted.length ? sorted[Math.min(sorted.length - 1, Math.floor(q * sorted.length))] : 0);
  const h = await heap();
  samples.push(h);
  console.log(`${((Date.now() - (end - minutes * 60000)) / 60000).toFixed(1).padStart(6)}  ${String(batches - batchesBefore).padStart(7)}  ${at(0.5).toFixed(1).padStart(6)}  `
    + `${at(0.95).toFixed(1).padStart(6)}  ${maxMs.toFixed(1).padStart(6)}  ${h.mb.toFixed(1).padStart(7)}  ${String(h.nodes).padStart(9)}  ${String(published).padStart(9)}`);
  batchesBefore = batches;
}
clearInterval(ticker);
clearInterval(events);
clearInterval(polledTimer);
await new Promise((resolve) => setTimeout(resolve, 2000));

// What the page shows is what was published last.
const offline = devices.filter((d) => !d.online).length;
const shown = await page.evaluate(() => document.querySelectorAll('.cell[data-state="offline"]').length);
const stale = await page.evaluate(() => document.querySelectorAll('.cell[data-state="stale"]').length);
all.sort((a, b) => a - b);
const q = (x) => all[Math.min(all.length - 1, Math.floor(x * all.length))];
console.log(`over ${minutes} min: ${all.length} batches sampled, p50 ${q(0.5).toFixed(1)} ms, p95 ${q(0.95).toFixed(1)} ms, p99 ${q(0.99).toFixed(1)} ms, `
  + `the longest ${longest.toFixed(1)} ms`);
console.log(`heap after a collection: ${samples[0].mb.toFixed(1)} MB at the first sample, ${samples.at(-1).mb.toFixed(1)} MB at the last; `
  + `DOM nodes ${samples[0].nodes} -> ${samples.at(-1).nodes}`);
console.log(`off line: ${offline} published, ${shown} shown ${offline === shown ? '(same)' : '(DIFFERENT)'}; stale: ${stale} (none asked over a minute ago)`);

publisher.end(true);
await cleanUp();
process.exit(offline === shown && stale === 0 ? 0 : 1);
