// Checks the three files one sampling run writes against each other: the flame
// graph page (opened in headless Chromium: loads cleanly, the busy frame's width,
// zoom and reset, search), the speedscope file (valid by speedscope's schema,
// same stacks and counts as the folded lines, same frame names).
// Run: node tests/browser/check-samples.mjs PAGE.svg PROFILE.speedscope.json PROFILE.folded BUSY-FRAME SHOT.png
// Prints one "ok: ..." or "FAILED: ..." line per check; exits 0 only when all pass.
import fs from 'node:fs';
import path from 'node:path';
import { fileURLToPath, pathToFileURL } from 'node:url';
import { createRequire } from 'node:module';

const require = createRequire(import.meta.url);
const here = path.dirname(fileURLToPath(import.meta.url));

const [svgPath, speedscopePath, foldedPath, busy, shotPath] = process.argv.slice(2);
if (process.argv.length !== 7) {
  console.error('usage: node check-samples.mjs PAGE.svg PROFILE.speedscope.json PROFILE.folded BUSY-FRAME SHOT.png');
  process.exit(2);
}

let failures = 0;
function check(what, pass, detail) {
  if (!pass) failures++;
  console.log(`${pass ? 'ok' : 'FAILED'}: ${what}${detail ? ` (${detail})` : ''}`);
  return pass;
}
const pct = (x) => `${(x * 100).toFixed(2)}%`;

// Folded lines: "<image>;<tid>;<outermost>;...;<innermost> <count>". Frames may
// hold spaces, so the count is what follows the last one.
function readFolded(file) {
  const stacks = new Map();
  let total = 0, busySamples = 0;
  const frameNames = new Set();
  const bad = [];
  fs.readFileSync(file, 'utf8').split('\n').forEach((raw, i) => {
    const line = raw.replace(/\r$/, '');
    if (line === '') return;
    const space = line.lastIndexOf(' ');
    const count = Number(line.slice(space + 1));
    const fields = line.slice(0, space).split(';');
    if (space < 0 || !Number.isInteger(count) || count <= 0 || fields.length < 3) {
      bad.push(`line ${i + 1}: ${JSON.stringify(line)}`);
      return;
    }
    const frames = fields.slice(2);
    const key = [fields[1], ...frames].join(';');
    stacks.set(key, (stacks.get(key) ?? 0) + count);
    total += count;
    if (frames.includes(busy)) busySamples += count;
    frames.forEach((f) => frameNames.add(f));
  });
  return { stacks, total, busySamples, frameNames, bad };
}

// Lists the keys whose counts differ between two maps, a few of them.
function differences(got, want) {
  const out = [];
  for (const key of new Set([...got.keys(), ...want.keys()])) {
    if (got.get(key) !== want.get(key)) out.push(`${JSON.stringify(key)}: ${got.get(key) ?? 0} vs ${want.get(key) ?? 0}`);
  }
  return out;
}

function checkSpeedscope(folded) {
  let file;
  try {
    file = JSON.parse(fs.readFileSync(speedscopePath, 'utf8'));
  } catch (e) {
    check('speedscope file reads as JSON', false, e.message);
    return;
  }

  const Ajv = require('ajv');
  const schemaPath = path.join(here, 'node_modules/speedscope/dist/release/file-format-schema.json');
  const ajv = new Ajv({ allErrors: true, strict: false });
  const validate = ajv.compile(JSON.parse(fs.readFileSync(schemaPath, 'utf8')));
  const valid = validate(file);
  check('speedscope file is valid by the speedscope schema', valid,
        valid ? '' : ajv.errorsText(validate.errors, { separator: '; ' }));

  const interval = Number((/every ([0-9.]+) ms/.exec(file.name ?? '') ?? [])[1]);
  if (!check('speedscope name gives the sampling interval', interval > 0,
             `name ${JSON.stringify(file.name)}, interval ${interval} ms`)) return;

  const frames = file.shared?.frames ?? [];
  const stacks = new Map();
  const bad = [];
  for (const profile of file.profiles ?? []) {
    const tid = (/^Thread (\d+) \(/.exec(profile.name ?? '') ?? [])[1];
    if (tid === undefined) { bad.push(`profile name ${JSON.stringify(profile.name)}`); continue; }
    (profile.samples ?? []).forEach((sample, k) => {
      if (sample.length === 0) return;
      const names = sample.map((i) => frames[i]?.name);
      if (names.includes(undefined)) { bad.push(`thread ${tid} sample ${k}: frame index out of range`); return; }
      const runs = profile.weights?.[k] / interval;
      const whole = Math.round(runs);
      if (!(Math.abs(runs - whole) < 1e-6)) { bad.push(`thread ${tid} sample ${k}: weight ${profile.weights?.[k]} is not a whole number of ${interval} ms`); return; }
      const key = [tid, ...names].join(';');
      stacks.set(key, (stacks.get(key) ?? 0) + whole);
    });
  }
  const diff = differences(stacks, folded.stacks);
  const total = [...stacks.values()].reduce((a, b) => a + b, 0);
  check('speedscope samples per thread and stack equal the folded counts', bad.length === 0 && diff.length === 0,
        bad.length || diff.length
          ? [...bad, ...diff].slice(0, 8).join('; ') + ' (speedscope vs folded)'
          : `${stacks.size} stacks, ${total} samples in both`);

  const shared = new Set(frames.map((f) => f.name));
  const missing = [...folded.frameNames].filter((n) => !shared.has(n));
  check('every folded frame name is in shared.frames exactly', missing.length === 0,
        missing.length ? `missing: ${missing.slice(0, 5).map((n) => JSON.stringify(n)).join(', ')}`
                       : `${folded.frameNames.size} names`);
}

// Measures the page inside the browser. Box names are the title before its last
// line break; a busy box nested in another busy box is the same samples again.
function measure(busy) {
  const boxes = [...document.querySelectorAll('g.f')];
  const num = (g, k) => +g.getAttribute('data-' + k);
  const name = (g) => { const t = g.querySelector('title').textContent; return t.substring(0, t.lastIndexOf('\n')); };
  const width = (g) => g.querySelector('rect').getBoundingClientRect().width;
  const within = (inner, outer) => num(outer, 'd') < num(inner, 'd') && num(outer, 'o') <= num(inner, 'o') &&
      num(inner, 'o') + num(inner, 'n') <= num(outer, 'o') + num(outer, 'n');
  const busyBoxes = boxes.filter((g) => name(g) === busy);
  const outer = busyBoxes.filter((g) => !busyBoxes.some((h) => h !== g && within(g, h)));
  let widest = -1;
  busyBoxes.forEach((g) => { if (widest < 0 || width(g) > width(boxes[widest])) widest = boxes.indexOf(g); });
  return {
    total: +document.documentElement.getAttribute('data-total'),
    rootWidth: boxes.length ? width(boxes[0]) : 0,
    busyWidth: outer.reduce((s, g) => s + width(g), 0),
    busyCount: busyBoxes.length,
    widest,
    widths: boxes.map(width),
  };
}

// After a click on box `at`: which boxes are shown, which are marked as callers,
// by the boxes' sample ranges.
function zoomState(at) {
  const boxes = [...document.querySelectorAll('g.f')];
  const num = (g, k) => +g.getAttribute('data-' + k);
  const z = boxes[at], o0 = num(z, 'o'), n0 = num(z, 'n'), d0 = num(z, 'd');
  const shown = (g) => getComputedStyle(g).display !== 'none';
  const outside = [], callers = [];
  boxes.forEach((g) => {
    const o = num(g, 'o'), n = num(g, 'n'), d = num(g, 'd');
    if (d < d0 && o <= o0 && o + n >= o0 + n0) callers.push(g);
    else if (!(d >= d0 && o >= o0 && o + n <= o0 + n0)) outside.push(g);
  });
  return {
    width: z.querySelector('rect').getBoundingClientRect().width,
    outside: outside.length,
    outsideShown: outside.filter(shown).length,
    callerWidths: callers.map((g) => g.querySelector('rect').getBoundingClientRect().width),
    callersNotAbove: callers.filter((g) => !g.classList.contains('above')).length,
    reset: getComputedStyle(document.getElementById('reset')).visibility,
  };
}

async function checkPage(folded) {
  const { chromium } = require('playwright-core');
  const svgText = fs.readFileSync(svgPath, 'utf8');
  const height = Math.ceil(Number((/<svg\b[^>]*\sheight="([0-9.]+)"/.exec(svgText) ?? [])[1])) || 800;
  const expected = folded.total ? folded.busySamples / folded.total : 0;

  const browser = await chromium.launch({ executablePath: '/usr/bin/chromium', args: ['--no-sandbox'], headless: true });
  const errors = [];
  try {
    const page = await browser.newPage({ viewport: { width: 1200, height } });
    // A step the page cannot take (a click on a hidden box) fails in seconds, not half a minute.
    page.setDefaultTimeout(5000);
    page.on('console', (m) => { if (m.type() === 'error') errors.push(`console: ${m.text()}`); });
    page.on('pageerror', (e) => errors.push(`page: ${e.message}`));
    await page.goto(pathToFileURL(path.resolve(svgPath)).href, { waitUntil: 'load' });
    check('page opens with no console or page errors', errors.length === 0, errors.join('; '));

    const before = await page.evaluate(measure, busy);
    check('page data-total equals the folded total', before.total === folded.total,
          `measured ${before.total}, expected ${folded.total}`);
    const share = before.rootWidth ? before.busyWidth / before.rootWidth : 0;
    check(`busy frame's width share matches the folded lines`, Math.abs(share - expected) <= 0.02,
          `measured ${pct(share)} (${before.busyWidth.toFixed(2)} of ${before.rootWidth.toFixed(2)} px, ` +
          `${before.busyCount} boxes), expected ${pct(expected)} (${folded.busySamples} of ${folded.total} samples)`);

    if (check('page has a box named as the busy frame', before.widest >= 0, `${before.busyCount} boxes`)) {
      await page.locator('g.f').nth(before.widest).locator('rect').click();
      const z = await page.evaluate(zoomState, before.widest);
      const callersOff = z.callerWidths.filter((w) => Math.abs(w - before.rootWidth) > 1).length;
      check('clicked busy box spans the root width', Math.abs(z.width - before.rootWidth) <= 1,
            `measured ${z.width.toFixed(2)} px, expected ${before.rootWidth.toFixed(2)} px`);
      check('boxes outside the clicked range are hidden', z.outsideShown === 0,
            z.outside ? `${z.outsideShown} of ${z.outside} still shown` : 'no box is outside it');
      check('callers of the clicked box span the root width, marked above', callersOff === 0 && z.callersNotAbove === 0,
            `${z.callerWidths.length} callers, ${callersOff} of another width, ${z.callersNotAbove} not marked above`);
      check('#reset is visible while zoomed', z.reset === 'visible', `visibility ${z.reset}`);

      await page.locator('#reset').click();
      const after = await page.evaluate(measure, busy);
      const moved = after.widths.filter((w, i) => Math.abs(w - before.widths[i]) > 1).length;
      check('reset puts every box back at its width', moved === 0,
            `${moved} of ${before.widths.length} boxes off by more than 1 px`);
    }

    const search = page.locator('#search');
    await search.focus();
    await search.pressSequentially(busy);
    const matchedText = await page.locator('#matched').textContent();
    const matched = Number((/Matched: ([0-9.]+)%/.exec(matchedText ?? '') ?? [])[1]) / 100;
    check(`search for the busy frame reports its share`, Math.abs(matched - expected) <= 0.02,
          `measured ${JSON.stringify(matchedText)}, expected ${pct(expected)}`);
    const marked = await page.locator('g.f rect[fill="rgb(230,0,230)"]').count();
    check('search marks the matching boxes', marked > 0, `${marked} boxes marked`);

    await search.fill('');
    await search.blur();
    // The viewport is the page's own height, so a plain shot holds all of it; a
    // full-page shot of an SVG document never finishes in this Chromium.
    await page.screenshot({ path: shotPath });
    const size = fs.existsSync(shotPath) ? fs.statSync(shotPath).size : 0;
    check('screenshot written', size > 0, `${shotPath}, ${size} bytes`);

    check('no console or page errors while zooming and searching', errors.length === 0, errors.join('; '));
  } catch (e) {
    // Says what the page itself reported, when it is why a step could not go on.
    if (errors.length) check('no console or page errors while zooming and searching', false, errors.join('; '));
    throw e;
  } finally {
    await browser.close();
  }
}

const folded = readFolded(foldedPath);
check('folded file reads', folded.bad.length === 0 && folded.total > 0,
      folded.bad.length ? folded.bad.slice(0, 5).join('; ') : `${folded.stacks.size} stacks, ${folded.total} samples`);
try {
  await checkPage(folded);
} catch (e) {
  // Playwright's call log says why a step waited, such as another box taking the click.
  const log = e.message.replace(/\x1b\[[0-9;]*m/g, '').split('\n').map((l) => l.trim()).filter(Boolean);
  check('page checks ran', false, [...new Set(log)].slice(0, 12).join(' | '));
}
checkSpeedscope(folded);
process.exit(failures === 0 ? 0 : 1);
