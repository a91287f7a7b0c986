#!/usr/bin/env node
// Pictures of the wall in both languages, taken by headless Chromium (Debian's chromium) once
// every site the page shows is running and has its devices asked; the tip of the first device
// off line is shown. With --stale, once a device is stale too, and its tip is shown instead.
//
//   node scripts/wall-screenshot.mjs --modules BUILD/web/npm/node_modules --url http://127.0.0.1:PORT/ --out PREFIX
//        [--sites N] [--ready-file FILE] [--stale]
//
// writes PREFIX-en.png and PREFIX-zh.png. Both pages are opened first; once both have joined the
// broker, FILE is created (so that what happens next shows among their events). scripts/demo
// --mqtt --wall-screenshot PREFIX runs it against the demonstration.
import fs from 'node:fs';
import { createRequire } from 'node:module';
import path from 'node:path';
import { parseArgs } from 'node:util';

const { values: args } = parseArgs({
  options: {
    modules: { type: 'string' }, url: { type: 'string' }, out: { type: 'string' },
    sites: { type: 'string', default: '2' }, 'ready-file': { type: 'string' }, stale: { type: 'boolean', default: false },
  },
});
if (!args.modules || !args.url || !args.out) {
  console.error('usage: wall-screenshot.mjs --modules DIR --url URL --out PREFIX [--sites N]');
  process.exit(2);
}
const { chromium } = createRequire(path.join(args.modules, 'index.js'))('playwright-core');

const browser = await chromium.launch({
  executablePath: process.env.TARVELLO_CHROMIUM || '/usr/bin/chromium',
  args: ['--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run', '--disable-background-networking',
    '--disable-component-update', '--disable-sync'],
});
let status = 0;
try {
  const pages = [];
  for (const [language, locale] of [['en', 'en-GB'], ['zh', 'zh-CN']]) {
    const context = await browser.newContext({ locale, viewport: { width: 1280, height: 760 } });
    const page = await context.newPage();
    const url = new URL(args.url);
    url.searchParams.set('lang', language);
    await page.goto(url.href);
    await page.waitForFunction(() => window.tarvelloWall.stats.connected, null, { timeout: 30000 });
    pages.push([language, page, context]);
  }
  if (args['ready-file'])
    fs.writeFileSync(args['ready-file'], 'ready\n');
  for (const [language, page, context] of pages) {
    await page.waitForFunction((sites) => {
      const tiles = [...document.querySelectorAll('.site')];
      return tiles.length >= sites && tiles.every((t) => t.dataset.running === 'true' && t.querySelector('.cell'))
        && !document.querySelector('.cell[data-state="unknown"]');
    }, Number(args.sites), { timeout: 60000 });
    if (args.stale)
      await page.waitForSelector('.cell[data-state="stale"]', { timeout: 90000 });
    const shown = await page.$(args.stale ? '.cell[data-state="stale"]' : '.cell[data-state="offline"]');
    if (shown)
      await shown.hover();
    const file = `${args.out}-${language}.png`;
    await page.screenshot({ path: file, fullPage: true });
    console.log(`Saved ${file}`);
    await context.close();
  }
} catch (e) {
  console.error(`wall-screenshot: ${e.message}`);
  status = 1;
} finally {
  await browser.close();
}
process.exit(status);
