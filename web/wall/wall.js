// The wall: every site, bus and device that control centres publish to one MQTT broker, on one
// page. It subscribes and never publishes. Messages are kept per topic as they come and drawn
// once a frame, so a broker full of sites costs one pass over what changed, not one per message.
'use strict';

(function () {
  const Texts = window.TarvelloWallTexts;
  const params = new URLSearchParams(window.location.search);
  const EventsKept = 50;
  const LanguageKey = 'tarvello-wall-language';
  const LoginKey = 'tarvello-wall-login';
  const States = ['online', 'offline', 'unknown', 'stale'];
  const StalePeriods = 3; // a device not asked for this many poll periods is stale

  // ---- language -------------------------------------------------------------------------

  function storageGet(storage, key) {
    try {
      return window[storage].getItem(key);
    } catch (e) {
      return null; // storage switched off: nothing remembered
    }
  }

  function storageSet(storage, key, value) {
    try {
      if (value === null)
        window[storage].removeItem(key);
      else
        window[storage].setItem(key, value);
    } catch (e) {
      // storage switched off: the choice holds for this page only
    }
  }

  // ?lang= first, then the last pick on this browser, then the browser's own languages.
  function pickLanguage() {
    for (const asked of [params.get('lang'), storageGet('localStorage', LanguageKey)])
      if (asked === 'zh' || asked === 'en')
        return asked;
    for (const tag of navigator.languages || [navigator.language || '']) {
      const low = String(tag).toLowerCase();
      if (low.startsWith('zh'))
        return 'zh';
      if (low.startsWith('en'))
        return 'en';
    }
    return 'en';
  }

  let language = pickLanguage();

  function tr(key, ...args) {
    let text = Texts.texts[key][language];
    args.forEach((value, i) => { text = text.split('%' + (i + 1)).join(String(value)); });
    return text;
  }

  // A stored name (level, action, source) in the page's language; unknown names as they are.
  function named(table, key) {
    const pair = Texts[table][key];
    return pair ? pair[language] : String(key);
  }

  function formatTime(date) {
    const locale = language === 'zh' ? 'zh-CN' : 'en-GB';
    const time = date.toLocaleTimeString(locale, { hour12: false });
    const now = new Date();
    if (date.toDateString() === now.toDateString())
      return time;
    return date.toLocaleDateString(locale) + ' ' + time;
  }

  function formatIso(text) {
    const date = new Date(text);
    return Number.isNaN(date.getTime()) ? String(text) : formatTime(date);
  }

  // ---- elements -------------------------------------------------------------------------

  function element(tag, className, text) {
    const e = document.createElement(tag);
    if (className)
      e.className = className;
    if (text !== undefined)
      e.textContent = text;
    return e;
  }

  const sitesEl = document.getElementById('sites');
  const connectionEl = document.getElementById('connection');
  const summaryEl = document.getElementById('summary');
  const emptyEl = document.getElementById('empty');
  const siteFilterEl = document.getElementById('site-filter');
  const problemsOnlyEl = document.getElementById('problems-only');
  const tipEl = document.getElementById('tip');
  const loginEl = document.getElementById('login');
  const loginErrorEl = document.getElementById('login-error');
  const logOutEl = document.getElementById('log-out');
  const languageEl = document.getElementById('language');

  // ---- the model ------------------------------------------------------------------------
  //
  // site -> scene -> group -> device, each holding its element; counts per group and per site
  // are kept as states change. A site counts the devices of the scene its control centre has
  // open (all scenes while it has said none).

  const sites = new Map();
  let connection = { key: 'connecting', arg: '' };
  let connectedAt = null;

  function newCounts() {
    return { online: 0, offline: 0, unknown: 0, stale: 0 };
  }

  function problemCount(counts) {
    return counts.offline + counts.unknown + counts.stale;
  }

  function siteFor(name) {
    let site = sites.get(name);
    if (site)
      return site;
    site = {
      name, status: null, stoppedAt: null, stoppedBefore: null,
      scenes: new Map(), events: [], counts: newCounts(),
      clockOffset: 0, // this page's clock less the control centre's, from its latest live message
    };
    const el = element('section', 'site');
    el.dataset.site = name;
    el.dataset.running = 'false';
    const head = element('header', 'site-head');
    head.append(element('h2', 'site-name', name));
    site.runningEl = element('span', 'running');
    site.portEl = element('span', 'port');
    site.levelEl = element('span', 'level');
    site.countsEl = element('span', 'counts');
    head.append(site.runningEl, site.portEl, site.levelEl, site.countsEl);
    site.scenesEl = element('div', 'scenes');
    site.eventsEl = element('details', 'events');
    site.eventsEl.open = true;
    site.eventsTitleEl = element('summary');
    site.eventsListEl = element('ol');
    site.eventsEl.append(site.eventsTitleEl, site.eventsListEl);
    el.append(head, site.scenesEl, site.eventsEl);
    site.el = el;
    sites.set(name, site);
    insertSorted(sitesEl, el, name, (child) => child.dataset.site, (a, b) => a.localeCompare(b));
    const option = element('option', '', name);
    option.value = name;
    insertSorted(siteFilterEl, option, name, (child) => (child.value === '' ? null : child.value), (a, b) => a.localeCompare(b));
    applySiteFilter(site);
    drawSiteHead(site);
    drawEvents(site);
    return site;
  }

  // Inserts `el` among `parent`'s children in the order of their keys (children whose key is
  // null stay first).
  function insertSorted(parent, el, key, keyOf, compare) {
    for (const child of parent.children) {
      const other = keyOf(child);
      if (other !== null && other !== undefined && compare(key, other) < 0) {
        parent.insertBefore(el, child);
        return;
      }
    }
    parent.append(el);
  }

  function sceneFor(site, number) {
    let scene = site.scenes.get(number);
    if (scene)
      return scene;
    scene = { number, groups: new Map(), bus: null, polled: null };
    scene.el = element('div', 'scene');
    scene.el.dataset.scene = String(number);
    scene.titleEl = element('h3', 'scene-title');
    scene.busEl = element('p', 'bus');
    scene.busEl.hidden = true;
    scene.groupsEl = element('div', 'groups');
    scene.el.append(scene.titleEl, scene.busEl, scene.groupsEl);
    site.scenes.set(number, scene);
    insertSorted(site.scenesEl, scene.el, number, (child) => Number(child.dataset.scene), (a, b) => a - b);
    drawSceneTitle(site, scene);
    return scene;
  }

  function groupFor(site, scene, number) {
    let group = scene.groups.get(number);
    if (group)
      return group;
    group = { number, name: '', devices: new Map(), ids: [], counts: newCounts() };
    group.el = element('div', 'group');
    group.el.dataset.group = String(number);
    group.labelEl = element('span', 'group-label');
    group.countsEl = element('span', 'group-counts');
    group.cellsEl = element('div', 'cells');
    group.el.append(group.labelEl, group.countsEl, group.cellsEl);
    scene.groups.set(number, group);
    insertSorted(scene.groupsEl, group.el, number, (child) => Number(child.dataset.group), (a, b) => a - b);
    drawGroupLabel(group);
    return group;
  }

  function siteRunning(site) {
    return site.status !== null && site.status.running === true;
  }

  function currentScene(site) {
    return site.status && Number.isInteger(site.status.scene) ? site.status.scene : null;
  }

  function sceneCounted(site, scene) {
    const current = currentScene(site);
    return current === null || current === scene.number;
  }

  // The time between two polls of the site's list, in ms, when its control centre polls by
  // itself and says when it asked each device: the period it set, or the time its rounds take
  // when they take longer. Null: the page cannot judge how old a last poll may be.
  function pollPeriodMs(site, scene) {
    const every = site.status && site.status.running === true ? site.status.pollEverySeconds : null;
    if (!(typeof every === 'number' && every > 0) || !scene.polled)
      return null;
    return 1000 * Math.max(every, scene.polled.periodSeconds);
  }

  // Not asked for three poll periods: the control centre runs but does not list the device (a
  // group not shown), or its poll has stalled. A device not asked since the list was built counts
  // from then. A lost port says more than this: its devices stay unknown.
  function notPolled(site, scene, device, now) {
    const period = pollPeriodMs(site, scene);
    if (period === null || (site.status.port && site.status.port.lost === true))
      return false;
    const last = device.lastPollAt !== null ? device.lastPollAt : scene.polled.listedAt;
    return now - last > StalePeriods * period;
  }

  // Stale: nobody asks the device any more, because its control centre has stopped, has
  // another scene open, or has not asked it for three poll periods; what the broker holds is the
  // last it said.
  function stateOf(site, scene, device, now = Date.now()) {
    if ((site.status && site.status.running === false) || !sceneCounted(site, scene) || notPolled(site, scene, device, now))
      return 'stale';
    if (device.online === true)
      return 'online';
    if (device.online === false)
      return 'offline';
    return 'unknown';
  }

  const dirtyGroups = new Set();
  const dirtySites = new Set();

  function setState(site, scene, group, device, state) {
    if (device.state === state)
      return;
    const counted = sceneCounted(site, scene);
    if (device.state) {
      group.counts[device.state]--;
      if (counted)
        site.counts[device.state]--;
    }
    group.counts[state]++;
    if (counted)
      site.counts[state]++;
    device.state = state;
    device.el.dataset.state = state;
    dirtyGroups.add(group);
    dirtySites.add(site);
  }

  function deviceMessage(siteName, sceneNumber, groupNumber, id, text) {
    if (text === '') {
      removeDevice(siteName, sceneNumber, groupNumber, id);
      return;
    }
    const payload = JSON.parse(text);
    const site = siteFor(siteName);
    const scene = sceneFor(site, sceneNumber);
    const group = groupFor(site, scene, groupNumber);
    let device = group.devices.get(id);
    if (!device) {
      device = { id, state: null };
      device.el = element('i', 'cell');
      device.el.dataset.site = siteName;
      device.el.dataset.scene = String(sceneNumber);
      device.el.dataset.group = String(groupNumber);
      device.el.dataset.id = String(id);
      group.devices.set(id, device);
      const at = sortedInsert(group.ids, id);
      group.cellsEl.insertBefore(device.el, group.cellsEl.children[at] || null);
    }
    device.name = typeof payload.name === 'string' ? payload.name : '';
    device.online = payload.online === true ? true : payload.online === false ? false : null;
    device.polled = typeof payload.polled === 'string' ? payload.polled : null;
    device.changedAt = device.polled ? Date.parse(device.polled) : NaN; // the publisher's clock
    device.lastPollAt = lastPollOf(site, scene.polled, groupNumber, device);
    device.health = payload.health && typeof payload.health === 'object' ? payload.health : null;
    const groupName = typeof payload.groupName === 'string' ? payload.groupName : '';
    if (group.name !== groupName) {
      group.name = groupName;
      drawGroupLabel(group);
    }
    setState(site, scene, group, device, stateOf(site, scene, device));
  }

  // When the device was last asked, in this page's clock (ms): the polled topic's run that holds
  // it (from `run` on, the runs being in the order of their IDs), or the time of its last change
  // when that is later; null when neither says.
  function lastPollOf(site, polled, groupNumber, device, run = { at: 0 }) {
    let last = null;
    const runs = polled && polled.groups[groupNumber];
    if (Array.isArray(runs)) {
      for (; run.at < runs.length; run.at++) {
        const r = runs[run.at];
        if (!Array.isArray(r) || device.id > r[1])
          continue;
        if (device.id >= r[0] && typeof r[2] === 'number')
          last = polled.at - 1000 * r[2];
        break;
      }
    }
    const changed = device.changedAt + site.clockOffset;
    if (Number.isFinite(changed) && (last === null || changed > last))
      last = changed;
    return last;
  }

  // What the control centre asked, a few seconds after it asked: per group, runs of devices
  // [first ID, last ID, seconds before the message's time].
  function polledMessage(siteName, sceneNumber, text, retained, receivedAt) {
    const site = text === '' ? sites.get(siteName) : siteFor(siteName);
    if (!site || (text === '' && !site.scenes.has(sceneNumber)))
      return; // cleared, and nothing of it shown
    const scene = sceneFor(site, sceneNumber);
    scene.polled = null;
    if (text !== '') {
      const payload = JSON.parse(text);
      const sent = Date.parse(payload && payload.time);
      if (!Number.isFinite(sent))
        return;
      // A live message came just now: the difference is the two clocks' (and the network's).
      if (!retained)
        site.clockOffset = receivedAt - sent;
      const at = sent + site.clockOffset;
      scene.polled = {
        at,
        periodSeconds: typeof payload.periodSeconds === 'number' && payload.periodSeconds > 0 ? payload.periodSeconds : 0,
        listedAt: at - 1000 * (typeof payload.listedSeconds === 'number' ? payload.listedSeconds : 0),
        groups: payload.groups && typeof payload.groups === 'object' ? payload.groups : {},
      };
    }
    // One walk of each group's devices and runs, both in the order of their IDs. Only the
    // devices whose state this changes are drawn again: most messages change none.
    const now = Date.now();
    for (const group of scene.groups.values()) {
      const run = { at: 0 };
      for (const id of group.ids) {
        const device = group.devices.get(id);
        device.lastPollAt = lastPollOf(site, scene.polled, group.number, device, run);
        setState(site, scene, group, device, stateOf(site, scene, device, now));
      }
    }
  }

  // Time alone makes a device stale: the sites that say their poll period are judged again
  // every second, and what changed is drawn.
  function judgeAges() {
    const now = Date.now();
    for (const site of sites.values()) {
      for (const scene of site.scenes.values()) {
        if (pollPeriodMs(site, scene) === null || !sceneCounted(site, scene))
          continue;
        for (const group of scene.groups.values())
          for (const device of group.devices.values())
            setState(site, scene, group, device, stateOf(site, scene, device, now));
      }
    }
    if (dirtyGroups.size || dirtySites.size)
      requestFlush();
  }

  // The position `id` takes in the sorted array `ids`, where it is put.
  function sortedInsert(ids, id) {
    let low = 0;
    let high = ids.length;
    while (low < high) {
      const mid = (low + high) >> 1;
      if (ids[mid] < id)
        low = mid + 1;
      else
        high = mid;
    }
    ids.splice(low, 0, id);
    return low;
  }

  function removeDevice(siteName, sceneNumber, groupNumber, id) {
    const site = sites.get(siteName);
    const scene = site && site.scenes.get(sceneNumber);
    const group = scene && scene.groups.get(groupNumber);
    const device = group && group.devices.get(id);
    if (!device)
      return;
    group.counts[device.state]--;
    if (sceneCounted(site, scene))
      site.counts[device.state]--;
    group.devices.delete(id);
    group.ids.splice(group.ids.indexOf(id), 1);
    device.el.remove();
    if (group.devices.size === 0) {
      scene.groups.delete(groupNumber);
      group.el.remove();
      dirtyGroups.delete(group);
    } else {
      dirtyGroups.add(group);
    }
    if (scene.groups.size === 0 && scene.bus === null) {
      site.scenes.delete(sceneNumber);
      scene.el.remove();
    }
    dirtySites.add(site);
  }

  function statusMessage(siteName, text, retained) {
    if (text === '') { // someone cleared the topic at the broker
      const site = sites.get(siteName);
      if (site)
        setStatus(site, null, retained);
      return;
    }
    const payload = JSON.parse(text);
    setStatus(siteFor(siteName), payload && typeof payload === 'object' ? payload : null, retained);
  }

  function setStatus(site, status, retained) {
    const wasRunning = site.status ? site.status.running : undefined;
    site.status = status;
    if (status && status.running === false && wasRunning !== false) {
      // A retained will was said before the page came: when is not known.
      site.stoppedAt = retained ? null : new Date();
      site.stoppedBefore = retained ? (connectedAt || new Date()) : null;
    }
    recountSite(site);
  }

  // After a change of what the whole site is (running, scene open): every device again.
  function recountSite(site) {
    site.counts = newCounts();
    for (const scene of site.scenes.values()) {
      const counted = sceneCounted(site, scene);
      for (const group of scene.groups.values()) {
        group.counts = newCounts();
        for (const device of group.devices.values()) {
          const state = stateOf(site, scene, device);
          group.counts[state]++;
          if (counted)
            site.counts[state]++;
          if (device.state !== state) {
            device.state = state;
            device.el.dataset.state = state;
          }
        }
        dirtyGroups.add(group);
      }
      drawSceneTitle(site, scene);
    }
    dirtySites.add(site);
  }

  function eventMessage(siteName, text) {
    const payload = JSON.parse(text);
    if (!payload || typeof payload !== 'object')
      return;
    const site = siteFor(siteName);
    site.events.unshift(payload);
    if (site.events.length > EventsKept)
      site.events.length = EventsKept;
    site.eventsDirty = true;
    dirtySites.add(site);
  }

  function busMessage(siteName, sceneNumber, text) {
    const site = text === '' ? sites.get(siteName) : siteFor(siteName);
    if (!site)
      return;
    const scene = sceneFor(site, sceneNumber);
    scene.bus = text === '' ? null : JSON.parse(text);
    drawBus(scene);
  }

  // ---- drawing --------------------------------------------------------------------------

  function drawSiteHead(site) {
    const status = site.status;
    const running = siteRunning(site);
    site.el.dataset.running = running ? 'true' : 'false';
    site.el.classList.toggle('stopped', !!status && status.running === false);
    if (!status)
      site.runningEl.textContent = tr('noStatus');
    else if (running)
      site.runningEl.textContent = status.version ? tr('runningVersion', status.version) : tr('running');
    else if (site.stoppedAt)
      site.runningEl.textContent = tr('notRunningSince', formatTime(site.stoppedAt));
    else
      site.runningEl.textContent = tr('notRunningBefore', formatTime(site.stoppedBefore || new Date()));

    const port = running && status.port && typeof status.port === 'object' ? status.port : null;
    site.portEl.hidden = !port;
    let portOk = true;
    if (port) {
      const name = port.name || '?';
      portOk = port.open === true && port.lost !== true;
      site.portEl.textContent = port.lost ? tr('portLost', name) : port.open ? tr('portOpen', name) : tr('portClosed', name);
      site.portEl.classList.toggle('bad', !portOk);
    }
    site.levelEl.hidden = !(running && status.level);
    if (running && status.level)
      site.levelEl.textContent = tr('level', named('levels', status.level));

    const c = site.counts;
    site.countsEl.textContent = tr('counts', c.online, c.offline, c.unknown, c.stale);
    site.el.classList.toggle('ok', running && portOk && problemCount(c) === 0);
  }

  function drawSceneTitle(site, scene) {
    const open = sceneCounted(site, scene);
    scene.el.classList.toggle('not-open', !open);
    scene.titleEl.textContent = open ? tr('scene', scene.number) : tr('sceneNotOpen', scene.number);
  }

  function drawGroupLabel(group) {
    group.labelEl.textContent = group.name ? tr('groupNamed', group.number, group.name) : tr('group', group.number);
  }

  function drawGroupCounts(group) {
    const c = group.counts;
    group.countsEl.textContent = tr('groupCounts', c.online, group.devices.size);
    group.el.classList.toggle('ok', problemCount(c) === 0);
  }

  function drawBus(scene) {
    scene.busEl.hidden = scene.bus === null;
    if (scene.bus === null)
      return;
    scene.busEl.textContent = tr('bus') + ': ' + describeFigures(scene.bus);
  }

  // Figures from the control centre (a device's health, a bus's counts), named in the page's
  // language where the page knows them, as the publisher names them otherwise.
  function describeFigures(figures) {
    const parts = [];
    for (const [key, value] of Object.entries(figures)) {
      if (value === null || value === undefined)
        continue;
      let shown;
      if (key === 'answerRate' && typeof value === 'number')
        shown = (value <= 1 ? Math.round(value * 1000) / 10 : value) + ' %';
      else if (/Ms$/.test(key) && typeof value === 'number')
        shown = tr('milliseconds', value);
      else if (typeof value === 'object')
        shown = Object.entries(value).map(([k, v]) => k + ' ' + v).join(', ');
      else
        shown = String(value);
      const label = Texts.texts[key] ? tr(key) : key;
      parts.push(label + ' ' + shown);
    }
    return parts.join(' · ');
  }

  function drawEvents(site) {
    site.eventsTitleEl.textContent = tr('events', site.events.length);
    const list = site.eventsListEl;
    list.textContent = '';
    list.classList.toggle('long', site.events.length > 6);
    if (site.events.length === 0) {
      list.append(element('li', 'none', tr('noEvents')));
      return;
    }
    for (const event of site.events) {
      const li = element('li');
      li.append(element('time', '', event.time ? formatIso(event.time) : ''));
      if (event.level)
        li.append(element('span', 'event-level', named('levels', event.level)));
      if (event.source)
        li.append(element('span', 'event-source', named('sources', event.source)));
      if (event.user)
        li.append(element('span', 'event-user', tr('user', event.user)));
      li.append(element('b', 'event-action', named('actions', event.action)));
      if (event.detail)
        li.append(element('span', 'event-detail', String(event.detail)));
      if (Array.isArray(event.devices) && event.devices.length)
        li.append(element('span', 'event-devices', event.devices.map((d) => d.group + ':' + d.id).join(', ')));
      list.append(li);
    }
  }

  function drawConnection() {
    connectionEl.textContent = tr(connection.key, connection.arg);
    connectionEl.className = connection.key;
    document.body.classList.toggle('broker-lost', connection.key === 'brokerLost');
  }

  function drawSummary() {
    let running = 0;
    const c = newCounts();
    for (const site of sites.values()) {
      if (siteRunning(site))
        running++;
      for (const state of States)
        c[state] += site.counts[state];
    }
    const devices = c.online + c.offline + c.unknown + c.stale;
    summaryEl.textContent = tr('summary', sites.size, running, devices, c.online, c.offline, c.unknown, c.stale);
    const shown = [...sites.values()].some((site) => !site.el.hidden && !(problemsOnlyEl.checked && site.el.classList.contains('ok')));
    emptyEl.hidden = shown || connection.key !== 'connected';
    emptyEl.textContent = sites.size === 0 ? tr('noSites') : tr('noProblems');
  }

  function applySiteFilter(site) {
    site.el.hidden = siteFilterEl.value !== '' && siteFilterEl.value !== site.name;
  }

  // Every text again, in the language now picked.
  function drawTexts() {
    document.documentElement.lang = language === 'zh' ? 'zh-CN' : 'en';
    document.title = tr('title');
    for (const el of document.querySelectorAll('[data-text]'))
      el.textContent = tr(el.dataset.text);
    languageEl.textContent = tr('otherLanguage');
    languageEl.lang = language === 'zh' ? 'en' : 'zh-CN';
    for (const site of sites.values()) {
      drawSiteHead(site);
      drawEvents(site);
      for (const scene of site.scenes.values()) {
        drawSceneTitle(site, scene);
        drawBus(scene);
        for (const group of scene.groups.values()) {
          drawGroupLabel(group);
          drawGroupCounts(group);
        }
      }
    }
    drawConnection();
    drawSummary();
    if (tipDevice)
      drawTip();
  }

  // ---- the queue of messages ------------------------------------------------------------
  //
  // Retained states are kept by topic (only the newest counts), events in order; both are
  // bounded, so a tab in the background does not pile up what it will never draw.

  const pending = new Map();
  let pendingEvents = [];
  let flushRequested = false;
  let flushTimer = 0;
  // What drawing costs, for whoever measures the page: the time of each batch (the last 1000).
  const stats = { batches: 0, messages: 0, ignored: 0, lastMs: 0, maxMs: 0, totalMs: 0, recentMs: [], connected: false };
  window.tarvelloWall = { stats };
  const decoder = new TextDecoder();

  function received(topic, payload, packet) {
    const text = decoder.decode(payload);
    if (/^tarvello\/[^/]+\/events$/.test(topic)) {
      pendingEvents.push([topic.split('/')[1], text]);
      if (pendingEvents.length > 4 * EventsKept * Math.max(1, sites.size))
        pendingEvents = pendingEvents.slice(-2 * EventsKept * Math.max(1, sites.size));
    } else {
      pending.delete(topic); // the newest goes last
      pending.set(topic, { text, retained: !!packet.retain, at: Date.now() });
    }
    stats.messages++;
    requestFlush();
  }

  function requestFlush() {
    if (flushRequested)
      return;
    flushRequested = true;
    window.requestAnimationFrame(flush);
    flushTimer = window.setTimeout(flush, 500); // frames stop in a hidden tab
  }

  function handle(topic, text, retained, receivedAt) {
    const level = topic.split('/');
    if (level[0] !== 'tarvello' || level.length < 3)
      return;
    if (level.length === 3 && level[2] === 'status')
      return statusMessage(level[1], text, retained);
    if (level.length === 4 && level[3] === 'bus' && /^\d+$/.test(level[2]))
      return busMessage(level[1], Number(level[2]), text);
    if (level.length === 4 && level[3] === 'polled' && /^\d+$/.test(level[2]))
      return polledMessage(level[1], Number(level[2]), text, retained, receivedAt);
    if (level.length === 6 && level[3] === 'device' && /^\d+$/.test(level[2]) && /^\d+$/.test(level[4]) && /^\d+$/.test(level[5]))
      return deviceMessage(level[1], Number(level[2]), Number(level[4]), Number(level[5]), text);
    stats.ignored++;
  }

  function flush() {
    if (!flushRequested)
      return;
    flushRequested = false;
    window.clearTimeout(flushTimer);
    const started = performance.now();
    // Status first: the devices that follow are judged by what their site is now.
    const batch = [...pending.entries()].sort((a, b) => (b[0].endsWith('/status') ? 1 : 0) - (a[0].endsWith('/status') ? 1 : 0));
    pending.clear();
    for (const [topic, message] of batch) {
      try {
        handle(topic, message.text, message.retained, message.at);
      } catch (e) {
        stats.ignored++; // not JSON, or not what the control centre publishes
      }
    }
    for (const [siteName, text] of pendingEvents) {
      try {
        eventMessage(siteName, text);
      } catch (e) {
        stats.ignored++;
      }
    }
    pendingEvents = [];
    for (const group of dirtyGroups)
      drawGroupCounts(group);
    dirtyGroups.clear();
    for (const site of dirtySites) {
      drawSiteHead(site);
      if (site.eventsDirty) {
        drawEvents(site);
        site.eventsDirty = false;
      }
    }
    dirtySites.clear();
    drawSummary();
    if (tipDevice)
      drawTip();
    void sitesEl.offsetHeight; // the layout belongs to the batch's cost
    const spent = performance.now() - started;
    stats.batches++;
    stats.lastMs = spent;
    stats.totalMs += spent;
    stats.maxMs = Math.max(stats.maxMs, spent);
    stats.recentMs.push(spent);
    if (stats.recentMs.length > 1000)
      stats.recentMs.splice(0, stats.recentMs.length - 1000);
  }

  // ---- the tip: a device's name, group, last poll and health -----------------------------

  let tipDevice = null; // [site, scene, group, id]
  let tipPinned = false;

  function deviceAt(key) {
    const site = sites.get(key[0]);
    const scene = site && site.scenes.get(key[1]);
    const group = scene && scene.groups.get(key[2]);
    const device = group && group.devices.get(key[3]);
    return device ? { site, scene, group, device } : null;
  }

  function drawTip() {
    const found = deviceAt(tipDevice);
    if (!found) {
      hideTip();
      return;
    }
    const { site, scene, group, device } = found;
    tipEl.textContent = '';
    tipEl.append(element('strong', '', device.name || tr('device', device.id)));
    const lines = [
      tr('device', device.id) + ' · ' + (group.name ? tr('groupNamed', group.number, group.name) : tr('group', group.number)),
      site.name + ' · ' + tr('scene', scene.number),
      tr(device.state),
    ];
    if (device.state === 'stale') {
      if (site.status && site.status.running === false)
        lines.push(tr('staleNotRunning'));
      else if (!sceneCounted(site, scene))
        lines.push(tr('staleOtherScene'));
      else
        lines.push(tr('staleNotPolled', Math.round(pollPeriodMs(site, scene) / 1000)));
    }
    lines.push(device.lastPollAt !== null ? tr('lastPoll', formatTime(new Date(device.lastPollAt))) : tr('lastPollNever'));
    lines.push(device.health ? tr('health') + ': ' + describeFigures(device.health) : tr('healthNone'));
    for (const line of lines)
      tipEl.append(element('div', '', line));
    tipEl.dataset.state = device.state;
    tipEl.hidden = false;
  }

  function showTip(cell, pinned) {
    tipDevice = [cell.dataset.site, Number(cell.dataset.scene), Number(cell.dataset.group), Number(cell.dataset.id)];
    tipPinned = pinned;
    drawTip();
    const box = cell.getBoundingClientRect();
    const width = tipEl.offsetWidth;
    const left = Math.min(window.scrollX + box.left, window.scrollX + document.documentElement.clientWidth - width - 8);
    tipEl.style.left = Math.max(window.scrollX + 4, left) + 'px';
    tipEl.style.top = (window.scrollY + box.bottom + 6) + 'px';
  }

  function hideTip() {
    tipDevice = null;
    tipPinned = false;
    tipEl.hidden = true;
  }

  sitesEl.addEventListener('mouseover', (e) => {
    if (!tipPinned && e.target.classList.contains('cell'))
      showTip(e.target, false);
  });
  sitesEl.addEventListener('mouseout', (e) => {
    if (!tipPinned && e.target.classList.contains('cell'))
      hideTip();
  });
  document.addEventListener('click', (e) => {
    if (e.target.classList && e.target.classList.contains('cell'))
      showTip(e.target, true); // a tap: stays until the next tap elsewhere
    else if (!tipEl.contains(e.target))
      hideTip();
  });

  // ---- controls -------------------------------------------------------------------------

  siteFilterEl.addEventListener('change', () => {
    for (const site of sites.values())
      applySiteFilter(site);
    drawSummary();
  });
  problemsOnlyEl.addEventListener('change', () => {
    document.body.classList.toggle('problems-only', problemsOnlyEl.checked);
    drawSummary();
  });
  languageEl.addEventListener('click', () => {
    language = language === 'zh' ? 'en' : 'zh';
    storageSet('localStorage', LanguageKey, language);
    drawTexts();
  });
  if (params.get('site'))
    siteFilterEl.value = params.get('site');
  if (params.get('problems') === '1') {
    problemsOnlyEl.checked = true;
    document.body.classList.add('problems-only');
  }

  // ---- the broker -----------------------------------------------------------------------

  // ?broker=ws://host:port, else the WebSockets listener that served the page.
  function brokerAddress() {
    const asked = params.get('broker');
    if (asked)
      return asked;
    if (!window.location.host)
      return null;
    return (window.location.protocol === 'https:' ? 'wss://' : 'ws://') + window.location.host;
  }

  function storedLogin() {
    try {
      const login = JSON.parse(storageGet('sessionStorage', LoginKey));
      return login && typeof login.user === 'string' ? login : null;
    } catch (e) {
      return null;
    }
  }

  let client = null;

  function connect() {
    const url = brokerAddress();
    if (!url) {
      connection = { key: 'noBroker', arg: '' };
      drawConnection();
      return;
    }
    if (!/^wss?:\/\/[^/]+/.test(url)) {
      connection = { key: 'badBroker', arg: url };
      drawConnection();
      return;
    }
    if (window.location.protocol === 'https:' && url.startsWith('ws://')) {
      connection = { key: 'mixedContent', arg: url };
      drawConnection();
      return;
    }
    const login = storedLogin();
    logOutEl.hidden = !login;
    connection = { key: 'connecting', arg: url };
    drawConnection();
    const options = {
      protocolVersion: 4,
      clean: true,
      clientId: 'tarvello-wall-' + Math.random().toString(16).slice(2, 10),
      reconnectPeriod: 2000,
      connectTimeout: 10000,
      resubscribe: false, // subscribed again on each connection below
    };
    if (login) {
      options.username = login.user;
      options.password = login.password;
    }
    client = window.mqtt.connect(url, options);
    client.on('connect', () => {
      connectedAt = new Date();
      stats.connected = true;
      connection = { key: 'connected', arg: url };
      drawConnection();
      drawSummary();
      loginEl.hidden = true;
      client.subscribe(['tarvello/+/status', 'tarvello/+/+/device/+/+', 'tarvello/+/events', 'tarvello/+/+/bus',
        'tarvello/+/+/polled'], { qos: 0 });
    });
    client.on('message', received);
    client.on('offline', () => {
      stats.connected = false;
      connection = { key: 'brokerLost', arg: url };
      drawConnection();
    });
    client.on('error', (error) => {
      // CONNACK 4: bad user name or password; 5: not authorised (MQTT 3.1.1).
      if (error && (error.code === 4 || error.code === 5)) {
        client.end(true);
        client = null;
        askLogin(!!login);
      }
    });
  }

  function askLogin(refused) {
    connection = { key: 'connecting', arg: brokerAddress() };
    drawConnection();
    loginErrorEl.hidden = !refused;
    loginEl.hidden = false;
    const user = loginEl.elements.user;
    const login = storedLogin();
    if (login && !user.value)
      user.value = login.user;
    user.focus();
  }

  loginEl.addEventListener('submit', (e) => {
    e.preventDefault();
    storageSet('sessionStorage', LoginKey,
      JSON.stringify({ user: loginEl.elements.user.value, password: loginEl.elements.password.value }));
    loginEl.elements.password.value = '';
    loginEl.hidden = true;
    connect();
  });
  logOutEl.addEventListener('click', () => {
    storageSet('sessionStorage', LoginKey, null);
    window.location.reload();
  });

  drawTexts();
  connect();
  window.setInterval(judgeAges, 1000);
})();
