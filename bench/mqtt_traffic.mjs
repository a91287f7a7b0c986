#!/usr/bin/env node
// What one bus costs the broker (a measuring program, not a test): tarvello-ctl watch polls a
// simulated bus of DEVICES devices in groups of 100 and publishes it to a Mosquitto on 127.0.0.1,
// while mosquitto_sub counts, per kind of topic, the messages and the bytes (topic and payload)
// of every minute after the first.
//
//   node bench/mqtt_traffic.mjs --build build [--devices 999] [--every 10] [--minutes 4] [--offline 5]
//
// OFFLINE devices are switched off at the start and on again at the middle of the run, so state
// changes are in the count too. docs/mqtt.md has the figures of a run.
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import { spawn } from 'node:child_process';
import { parseArgs } from 'node:util';

import { BrokerPassword, BrokerUser, Rig, waitFor } from '../tests/web/rig.mjs';

const { values: args } = parseArgs({
  options: {
    build: { type: 'string', default: 'build' },
    devices: { type: 'string', default: '999' },
    every: { type: 'string', default: '10' },
    minutes: { type: 'string', default: '4' },
    offline: { type: 'string', default: '5' },
  },
});
const deviceCount = Number(args.devices);
const minutes = Number(args.minutes);
const build = path.resolve(args.build);

const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'tarvello-traffic-'));
const rig = new Rig({ dir, wallDir: path.join(build, 'web/wall'), simExe: path.join(build, 'sim/tarvello-sim'),
  ctlExe: path.join(build, 'ctl/tarvello-ctl') });
await rig.startBroker({ logAll: false });

const devices = [];
const groups = {};
for (let id = 1; id <= deviceCount; id++) {
  const group = Math.floor((id - 1) / 100) + 1;
  groups[group] = `Group ${group}`;
  devices.push([group, id, `Hoist ${id}`]);
}
const offline = devices.slice(0, Number(args.offline)).map(([group, id]) => `${group}:${id}`);
const site = await rig.addSite('bench', groups, devices, offline);

// Every message from the start on, as "topic payload" lines, each counted in the minute it came.
const counts = [];
const sub = spawn('mosquitto_sub', ['-p', String(rig.mqttPort), '-u', BrokerUser, '-P', BrokerPassword, '-v', '-t', 'tarvello/#']);
const started = Date.now();
let rest = '';
sub.stdout.on('data', (chunk) => {
  const lines = (rest + chunk).split('\n');
  rest = lines.pop();
  const minute = Math.floor((Date.now() - started) / 60000);
  for (const line of lines) {
    const topic = line.slice(0, line.indexOf(' '));
    const kind = topic.replace(/^tarvello\/[^/]+\//, '').replace(/\/device\/\d+\/\d+$/, '/device').replace(/^\d+\//, '<scene>/');
    const row = (counts[minute] ||= {});
    const c = (row[kind] ||= { messages: 0, bytes: 0 });
    c.messages++;
    c.bytes += Buffer.byteLength(line) - 1; // topic and payload, less the space between them
  }
});

rig.startWatch(site, Number(args.every));
await waitFor('the first round', () => site.watch.lines().length > 0, 600000);
const half = started + (minutes * 60000) / 2;
await waitFor('half the run', () => Date.now() > half, minutes * 60000);
if (offline.length)
  site.sim.send(`online ${offline.join(',')}`);
await waitFor('the end of the run', () => Date.now() > started + minutes * 60000, minutes * 60000);
sub.kill();
await rig.stop();

console.log(`${deviceCount} devices, watch --every ${args.every}; rounds: ${site.watch.lines().slice(0, 3).join(' / ')}`);
for (let m = 1; m < minutes && m < counts.length; m++) {
  const row = counts[m] || {};
  console.log(`minute ${m + 1}: ` + Object.entries(row).map(([kind, c]) => `${kind} ${c.messages} messages ${c.bytes} bytes`).join('; '));
}
fs.rmSync(dir, { recursive: true, force: true });
