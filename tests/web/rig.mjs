// What the wall's tests and its bench run against: Debian's Mosquitto on free ports of
// 127.0.0.1 (an MQTT listener for the control centres, WebSockets listeners serving the page),
// simulated buses, and tarvello-ctl watch publishing each of them as a site.
import { spawn, spawnSync } from 'node:child_process';
import { once } from 'node:events';
import fs from 'node:fs';
import net from 'node:net';
import path from 'node:path';

export const BrokerUser = 'tarvello';
export const BrokerPassword = 'centre-secret';
export const WallUser = 'wall';
export const WallPassword = 'wall-secret';
// The demonstration's password store: "oper" logs in as operator, "admin" as administrator.
const PasswordStore = "INSERT INTO SysSet VALUES (1, X'958fc08c9f9e9b94'), (2, X'7e3897e38863666d'), (3, X'9e7717546263666d');";
export const OperatorPassword = 'oper';

// A program run to its end without blocking the event loop (the broker's log must be read
// meanwhile): its exit status and output.
export function run(command, args, options = {}) {
  return new Promise((resolve) => {
    const child = spawn(command, args, { stdio: ['ignore', 'pipe', 'pipe'], ...options });
    let out = '';
    let err = '';
    child.stdout.on('data', (d) => { out += d; });
    child.stderr.on('data', (d) => { err += d; });
    child.on('error', (e) => resolve({ status: null, out, err: String(e) }));
    child.on('exit', (status) => resolve({ status, out, err }));
  });
}

function listening(port) {
  return new Promise((resolve) => {
    const socket = net.connect(port, '127.0.0.1');
    socket.once('connect', () => { socket.destroy(); resolve(true); });
    socket.once('error', () => resolve(false));
  });
}

export function freePort() {
  return new Promise((resolve, reject) => {
    const server = net.createServer();
    server.once('error', reject);
    server.listen(0, '127.0.0.1', () => {
      const { port } = server.address();
      server.close(() => resolve(port));
    });
  });
}

export async function waitFor(what, check, timeoutMs = 20000) {
  const end = Date.now() + timeoutMs;
  for (;;) {
    const value = await check();
    if (value)
      return value;
    if (Date.now() > end)
      throw new Error(`gave up waiting: ${what}`);
    await new Promise((resolve) => setTimeout(resolve, 100));
  }
}

// A child process whose output is kept, and that is ended with the rig.
export class Child {
  constructor(command, args, options = {}) {
    this.name = path.basename(command);
    this.out = '';
    this.err = '';
    this.process = spawn(command, args, { stdio: ['pipe', 'pipe', 'pipe'], ...options });
    this.process.stdout.on('data', (d) => { this.out += d; });
    this.process.stderr.on('data', (d) => { this.err += d; });
    this.exited = once(this.process, 'exit');
  }

  lines() {
    return this.out.split('\n').filter((l) => l !== '');
  }

  send(line) {
    this.process.stdin.write(line + '\n');
  }

  async stop(signal = 'SIGTERM') {
    if (this.process.exitCode !== null || this.process.signalCode !== null)
      return;
    this.process.kill(signal);
    const timer = setTimeout(() => this.process.kill('SIGKILL'), 5000);
    await this.exited;
    clearTimeout(timer);
  }
}

export class Rig {
  constructor({ dir, wallDir, simExe, ctlExe }) {
    Object.assign(this, { dir, wallDir, simExe, ctlExe });
    this.children = [];
    this.sites = new Map();
  }

  start(command, args, options) {
    const child = new Child(command, args, options);
    this.children.push(child);
    return child;
  }

  // Mosquitto: the control centres log in on the MQTT listener and may write tarvello/#; the
  // wall's user may only read, there and on both WebSockets listeners (one open to anonymous
  // readers, one asking for the wall's password). With logAll, every packet is logged.
  async startBroker({ logAll = true } = {}) {
    this.mqttPort = await freePort();
    this.wsOpenPort = await freePort();
    this.wsLoginPort = await freePort();
    const file = (name, text) => {
      const p = path.join(this.dir, name);
      fs.writeFileSync(p, text);
      return p;
    };
    const passwords = file('broker.passwd', '');
    for (const [user, password] of [[BrokerUser, BrokerPassword], [WallUser, WallPassword]]) {
      const made = spawnSync('mosquitto_passwd', ['-b', passwords, user, password]);
      if (made.status !== 0)
        throw new Error('mosquitto_passwd failed: ' + made.stderr);
    }
    fs.chmodSync(passwords, 0o644); // the broker reads it after it leaves root
    fs.chmodSync(this.dir, 0o755);
    const centresAcl = file('centres.acl', `user ${BrokerUser}\ntopic readwrite tarvello/#\nuser ${WallUser}\ntopic read tarvello/#\n`);
    const wallAcl = file('wall.acl', `topic read tarvello/#\nuser ${WallUser}\ntopic read tarvello/#\n`);
    const websockets = (port, anonymous) => [
      `listener ${port} 127.0.0.1`, 'protocol websockets', 'socket_domain ipv4', `http_dir ${this.wallDir}`,
      `allow_anonymous ${anonymous}`, anonymous ? '' : `password_file ${passwords}`, `acl_file ${wallAcl}`,
    ];
    const config = file('mosquitto.conf', [
      'per_listener_settings true', 'max_queued_messages 200000', 'log_dest stderr', logAll ? 'log_type all' : 'log_type error', 'persistence false',
      `listener ${this.mqttPort} 127.0.0.1`, 'allow_anonymous false', `password_file ${passwords}`, `acl_file ${centresAcl}`,
      ...websockets(this.wsOpenPort, true),
      ...websockets(this.wsLoginPort, false),
    ].join('\n') + '\n');
    this.broker = this.start('mosquitto', ['-c', config]);
    await waitFor('the broker running', () => this.broker.process.exitCode !== null || listening(this.wsLoginPort), 10000);
    if (this.broker.process.exitCode !== null)
      throw new Error('mosquitto did not start:\n' + this.broker.err);
  }

  // What the broker logged so far (stderr is not buffered).
  brokerLog() {
    return this.broker.err;
  }

  // A site: a simulated bus of `devices` ([group, id, name]), those in `offline` switched off,
  // and its data directory whose DB.ini names the broker.
  async addSite(name, groups, devices, offline = []) {
    const home = path.join(this.dir, name);
    const dataDir = path.join(home, 'DFiles');
    fs.mkdirSync(dataDir, { recursive: true });
    const sqlite = (db, sql) => {
      const made = spawnSync('sqlite3', [path.join(dataDir, db)], { input: sql });
      if (made.status !== 0)
        throw new Error(`sqlite3 ${db}: ${made.stderr}`);
    };
    const quote = (text) => `'${String(text).replaceAll("'", "''")}'`;
    sqlite('Group1.DB', 'CREATE TABLE Groups (ID INTEGER PRIMARY KEY, Name TEXT NOT NULL DEFAULT \'\');\n' +
      Object.entries(groups).map(([id, title]) => `INSERT INTO Groups VALUES (${id}, ${quote(title)});`).join('\n'));
    sqlite('Member1.DB', 'CREATE TABLE Member (ID INTEGER PRIMARY KEY, Name TEXT NOT NULL DEFAULT \'\', Group_ID INTEGER NOT NULL DEFAULT 0);\n' +
      devices.map(([group, id, title]) => `INSERT INTO Member VALUES (${id}, ${quote(title)}, ${group});`).join('\n'));
    sqlite('SysSet.DB', 'CREATE TABLE SysSet (RecNo INTEGER PRIMARY KEY, PSW BLOB NOT NULL);\n' + PasswordStore);
    fs.chmodSync(path.join(dataDir, 'SysSet.DB'), 0o600);
    fs.writeFileSync(path.join(dataDir, 'broker.pw'), BrokerPassword + '\n', { mode: 0o600 });
    const link = path.join(home, 'bus-port');
    fs.writeFileSync(path.join(dataDir, 'DB.ini'),
      `[COM]\nnum=COM1\n[SCENE]\nCurrent=1\n[PORTS]\nCOM1=${link}\n` +
      `[MQTT]\nHost=127.0.0.1\nPort=${this.mqttPort}\nSite=${name}\nUser=${BrokerUser}\nPasswordFile=broker.pw\n`, { mode: 0o600 });

    const args = ['--devices', devices.map(([group, id]) => `${group}:${id}`).join(','), '--link', link, '--quiet', '--commands'];
    if (offline.length)
      args.push('--offline', offline.join(','));
    const sim = this.start(this.simExe, args);
    await waitFor(`the simulator of ${name}`, () => sim.out.includes('\n') || sim.process.exitCode !== null, 10000);
    if (sim.process.exitCode !== null)
      throw new Error(`tarvello-sim of ${name} ended: ${sim.err}`);
    const site = { name, dataDir, sim, watch: null };
    this.sites.set(name, site);
    return site;
  }

  // tarvello-ctl watch on the site's bus, publishing to the broker; one line a poll round.
  startWatch(site, everySeconds = 1) {
    site.watch = this.start(this.ctlExe, ['--data-dir', site.dataDir, 'watch', '--every', String(everySeconds)], {
      env: { ...process.env, TARVELLO_PASSWORD: OperatorPassword },
    });
    return site.watch;
  }

  async stop() {
    for (const child of [...this.children].reverse())
      await child.stop();
  }
}
