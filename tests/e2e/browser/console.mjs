// The web console in a real browser: three zqoutput writing WAVE files and
// zqweb on loopback, the page in headless Chromium with a WAVE file as its
// microphone (silence, then 1 000 Hz). The page adds the outputs and sees
// them up; push-to-talk is held about 2 s, and every output's file must
// hold about 2 s of the tone; one output is stopped and its row goes down.
// A screenshot of the page is left in the output folder.
//
// Environment: ZQWEB, ZQOUTPUT (the programs), CHROMIUM (the browser),
// OUT_DIR (where the screenshot and the logs go). Exits non-zero on failure.
import { spawn } from 'node:child_process';
import { mkdtempSync, readFileSync, writeFileSync, rmSync, mkdirSync } from 'node:fs';
import { createServer } from 'node:net';
import { tmpdir } from 'node:os';
import { join } from 'node:path';
import puppeteer from 'puppeteer-core';

const HOLD_MS = 2000;
const RATE = 44100;
const work = mkdtempSync(join(tmpdir(), 'zq-console-'));
const outDir = process.env.OUT_DIR || work;
mkdirSync(outDir, { recursive: true });
const children = [];
let browser = null;

function log(text) {
  console.log(`browser-test: ${text}`);
}

// A 16-bit mono WAVE file: `silence` s of silence, then `tone` s of 1000 Hz at half scale.
function toneFile(path, silence, tone) {
  const frames = Math.round((silence + tone) * RATE);
  const data = Buffer.alloc(frames * 2);
  for (let n = Math.round(silence * RATE); n < frames; n++) {
    data.writeInt16LE(Math.round(16000 * Math.sin((2 * Math.PI * 1000 * n) / RATE)), n * 2);
  }
  const header = Buffer.alloc(44);
  header.write('RIFF', 0);
  header.writeUInt32LE(36 + data.length, 4);
  header.write('WAVEfmt ', 8);
  header.writeUInt32LE(16, 16);
  header.writeUInt16LE(1, 20);
  header.writeUInt16LE(1, 22);
  header.writeUInt32LE(RATE, 24);
  header.writeUInt32LE(RATE * 2, 28);
  header.writeUInt16LE(2, 32);
  header.writeUInt16LE(16, 34);
  header.write('data', 36);
  header.writeUInt32LE(data.length, 40);
  writeFileSync(path, Buffer.concat([header, data]));
}

// Seconds of 1000 Hz (±40 Hz, above -30 dBFS) in a PCM WAVE file, by 10 ms windows of its first channel.
function toneSeconds(path) {
  const b = readFileSync(path);
  let at = 12;
  let fmt = null;
  let data = null;
  while (at + 8 <= b.length) {
    const id = b.toString('ascii', at, at + 4);
    const size = b.readUInt32LE(at + 4);
    if (id === 'fmt ') fmt = { channels: b.readUInt16LE(at + 10), rate: b.readUInt32LE(at + 12), bits: b.readUInt16LE(at + 22) };
    if (id === 'data') data = b.subarray(at + 8, Math.min(b.length, at + 8 + size));
    at += 8 + size + (size % 2);
  }
  if (!fmt || !data || fmt.bits !== 16) throw new Error(`${path}: not a 16-bit PCM WAVE file`);
  const align = 2 * fmt.channels;
  const frames = Math.floor(data.length / align);
  const window = Math.round(fmt.rate / 100);
  let toneWindows = 0;
  for (let start = 0; start + window <= frames; start += window) {
    let energy = 0;
    let crossings = 0;
    let previous = data.readInt16LE(start * align);
    for (let n = start; n < start + window; n++) {
      const x = data.readInt16LE(n * align);
      energy += x * x;
      if (previous < 0 && x >= 0) crossings++;
      previous = x;
    }
    const rms = Math.sqrt(energy / window) / 32768;
    const hz = (crossings * fmt.rate) / window;
    if (rms > 0.03 && Math.abs(hz - 1000) <= 100) toneWindows++;
  }
  return toneWindows / 100;
}

function freePort() {
  return new Promise((resolve) => {
    const s = createServer();
    s.listen(0, '127.0.0.1', () => {
      const { port } = s.address();
      s.close(() => resolve(port));
    });
  });
}

// Starts a program and waits (bounded) for a line of its standard output matching `ready`.
function start(name, program, args, ready) {
  return new Promise((resolve, reject) => {
    const child = spawn(program, args, { env: { ...process.env, ZQ_REGISTRY_DIR: join(work, 'registry') } });
    children.push(child);
    let out = '';
    const logFile = join(outDir, `${name}.log`);
    const timer = setTimeout(() => reject(new Error(`${name} did not start: ${out}`)), 30000);
    const take = (chunk) => {
      out += chunk;
      writeFileSync(logFile, out);
      const m = out.match(ready);
      if (m) {
        clearTimeout(timer);
        resolve({ child, match: m });
      }
    };
    child.stdout.on('data', take);
    child.stderr.on('data', (chunk) => { out += chunk; writeFileSync(logFile, out); });
    child.on('exit', (code) => reject(new Error(`${name} ended (${code}): ${out}`)));
  });
}

async function main() {
  const mic = join(work, 'mic.wav');
  toneFile(mic, 1.5, 8);
  const outputs = [];
  for (const id of ['out1', 'out2', 'out3']) {
    const wav = join(work, `${id}.wav`);
    const { child, match } = await start(id, process.env.ZQOUTPUT,
      ['--port', '0', '--listen', '127.0.0.1', '--allow', '127.0.0.1', '--id', id, '--output', `wav:${wav}`], /listening 127\.0\.0\.1:(\d+)/);
    outputs.push({ id, wav, child, port: Number(match[1]) });
  }
  const aamPort = await freePort();
  const { match } = await start('zqweb', process.env.ZQWEB,
    ['--listen', '127.0.0.1:0', '--aam-port', String(aamPort), '--rehash-s', '2'],
    /serving (http:\/\/127\.0\.0\.1:\d+\/)/);
  const url = match[1];
  log(`zqweb at ${url}, outputs on ${outputs.map((o) => o.port).join(', ')}`);

  browser = await puppeteer.launch({
    executablePath: process.env.CHROMIUM,
    headless: true,
    userDataDir: join(work, 'profile'),
    args: ['--no-sandbox', '--disable-gpu', '--disable-background-networking', '--disable-component-update',
      '--disable-sync', '--no-first-run', '--use-fake-ui-for-media-stream', '--use-fake-device-for-media-stream',
      `--use-file-for-fake-audio-capture=${mic}%noloop`],
  });
  const page = await browser.newPage();
  await page.setViewport({ width: 1280, height: 800 });
  page.on('console', (m) => log(`page: ${m.text()}`));
  page.on('pageerror', (e) => log(`page error: ${e.message}`));
  await page.goto(url);
  await page.waitForFunction(() => document.getElementById('talk-state').textContent === 'ready', { timeout: 30000 });
  const micStart = Date.now();

  for (const o of outputs) {
    await page.$eval('#add-output input[name=server]', (e) => { e.value = '127.0.0.1'; });
    await page.$eval('#add-output input[name=port]', (e, p) => { e.value = String(p); }, o.port);
    await page.click('#add-output button[type=submit]');
    await page.waitForSelector(`#outputs tr[data-name="127.0.0.1:${o.port}"]`, { timeout: 10000 });
  }
  await page.waitForFunction(() => document.querySelectorAll('#outputs tr[data-link="up"]').length === 3,
    { timeout: 30000 });
  log('three outputs up');

  // The fake microphone started with the page: its tone begins 1.5 s in.
  await new Promise((r) => setTimeout(r, Math.max(0, 2500 - (Date.now() - micStart))));
  const button = await page.$('#talk-button');
  const box = await button.boundingBox();
  await page.mouse.move(box.x + box.width / 2, box.y + box.height / 2);
  await page.mouse.down();
  const pressed = Date.now();
  await page.waitForSelector('#talk-button[data-live="true"]', { timeout: 10000 });
  log(`on air ${Date.now() - pressed} ms after the press`);
  await new Promise((r) => setTimeout(r, Math.max(0, HOLD_MS - (Date.now() - pressed))));
  await page.mouse.up();
  log(`held ${Date.now() - pressed} ms`);
  const talkError = await page.$eval('#talk-error', (e) => e.textContent);
  if (talkError) throw new Error(`the page says: ${talkError}`);
  // The tail plays out and the group goes back.
  await page.waitForFunction(() => document.getElementById('on-air').hidden, { timeout: 10000 });
  await new Promise((r) => setTimeout(r, 1500));

  let failed = false;
  for (const o of outputs) {
    const seconds = toneSeconds(o.wav);
    const ok = seconds >= 1.6 && seconds <= 2.6;
    log(`${o.id}: ${seconds.toFixed(2)} s of 1000 Hz ${ok ? 'ok' : 'WRONG (about 2 s expected)'}`);
    failed = failed || !ok;
  }

  const gone = outputs[2];
  gone.child.kill('SIGTERM');
  await page.waitForSelector(`#outputs tr[data-name="127.0.0.1:${gone.port}"][data-link="down"]`, { timeout: 30000 });
  log(`${gone.id}'s row went down`);
  await page.screenshot({ path: join(outDir, 'console.png') });
  log(`screenshot: ${join(outDir, 'console.png')}`);
  if (failed) throw new Error('an output did not hold about 2 s of the tone');
}

let status = 0;
try {
  await main();
  log('passed');
} catch (e) {
  log(`FAILED: ${e.message}`);
  status = 1;
} finally {
  if (browser) await browser.close().catch(() => {});
  for (const c of children) c.kill('SIGTERM');
  await new Promise((r) => setTimeout(r, 300));
  for (const c of children) c.kill('SIGKILL');
  rmSync(work, { recursive: true, force: true });
}
process.exit(status);
