// The live status pages in headless Chromium, against the built bridge, the switcher simulator and
// three simulated cameras, all on loopback. One phone page (/tally/cam1) and one overview stay
// open from start to end, never reloaded, while the switcher cuts, goes silent and the bridge is
// restarted; a third page looks at the camera list and the camera whose name is markup.
// usage: node web_browser.js BUILD_DIR   (PLAYWRIGHT_MODULE_DIR names the npm scratch folder;
// SCREENSHOTS_DIR, when set, gets PNGs of the overview and of the phone page in each state)
'use strict'
const fs = require('fs')
const os = require('os')
const path = require('path')
const http = require('http')
const { spawn } = require('child_process')
const { chromium } = require(path.join(process.env.PLAYWRIGHT_MODULE_DIR, 'node_modules',
  'playwright-core'))

const BIN = process.argv[2]
const SWITCHER = '127.0.4.44', CAMERAS = '127.0.4.46', WEB = '127.0.4.45:8045'
const BASE = `http://${WEB}`
const HTML_NAME = '<b>cam&"3</b>'
const NAMES = ['cam1', 'cam2', HTML_NAME]
const GOAL_MS = 200       // switcher cut to the phone page's colour
const WAIT_MS = 15000     // any other wait
const SHOTS = process.env.SCREENSHOTS_DIR || ''
const RGB = { PROGRAM: 'rgb(208, 0, 0)', PREVIEW: 'rgb(0, 154, 0)', OFF: 'rgb(51, 51, 51)' }

const work = fs.mkdtempSync(path.join(os.tmpdir(), 'quorvel-web-browser-'))
const children = new Set()
let failures = 0, passes = 0
const ok = (what) => { passes++; console.log(`ok: ${what}`) }
const fail = (what) => { failures++; console.log(`FAIL: ${what}`) }
const check = (cond, what) => (cond ? ok(what) : fail(what))

function start(name, args, stdin) {
  const log = fs.openSync(path.join(work, `${name}.log`), 'a')
  const child = spawn(path.join(BIN, name), args,
    { stdio: [stdin ? 'pipe' : 'ignore', stdin ? 'pipe' : log, log] })
  children.add(child)
  child.on('exit', () => children.delete(child))
  return child
}
function stopAll() {
  for (const c of children) c.kill('SIGKILL')
}
process.on('exit', stopAll)
for (const sig of ['SIGTERM', 'SIGINT']) process.on(sig, () => { stopAll(); process.exit(1) })
const sleep = (ms) => new Promise((r) => setTimeout(r, ms))

// The switcher simulator: each command's answer starts with the local time "HH:MM:SS.mmm", when
// it was carried out; that reading, as epoch milliseconds, is where a cut's latency starts.
const sim = start('quorvel-switcher-sim', ['--address', SWITCHER], true)
const simLines = []
let simWaiters = []
let simRest = ''
sim.stdout.on('data', (chunk) => {
  const text = simRest + chunk
  const lines = text.split('\n')
  simRest = lines.pop()
  for (const line of lines) {
    fs.appendFileSync(path.join(work, 'quorvel-switcher-sim.log'), line + '\n')
    simLines.push(line)
    simWaiters = simWaiters.filter((w) => !w(line))
  }
})
function stampMs(line, near) {
  const m = /^(\d\d):(\d\d):(\d\d)\.(\d\d\d) /.exec(line)
  if (!m) return NaN
  const d = new Date(near)
  d.setHours(+m[1], +m[2], +m[3], +m[4])
  let t = d.getTime()
  if (t - near > 12 * 3600e3) t -= 24 * 3600e3  // across midnight
  return t
}
// Sends one command; resolves with the time of the answer that matches `answer`.
function simSay(command, answer) {
  const sent = Date.now()
  return new Promise((resolve, reject) => {
    const timer = setTimeout(() => reject(new Error(`no '${answer}' from the simulator after '${command}'`)),
      WAIT_MS)
    simWaiters.push((line) => {
      if (!answer.test(line)) return false
      clearTimeout(timer)
      resolve(stampMs(line, sent))
      return true
    })
    sim.stdin.write(command + '\n')
  })
}

function get(url) {
  return new Promise((resolve) => {
    const req = http.get(url, (res) => {
      let body = ''
      res.on('data', (d) => { body += d })
      res.on('end', () => resolve({ status: res.statusCode, body }))
    })
    req.on('error', () => resolve({ status: 0, body: '' }))
    req.setTimeout(2000, () => req.destroy())
  })
}
async function until(what, fn, ms = WAIT_MS) {
  const end = Date.now() + ms
  while (Date.now() < end) {
    if (await fn()) return true
    await sleep(100)
  }
  throw new Error(`timed out waiting for ${what}`)
}

const config = path.join(work, 'quorvel.json')
fs.writeFileSync(config, JSON.stringify({
  atem_ip: SWITCHER, visca_host: CAMERAS, http_listen: WEB,
  compat_try_prefix: false, compat_try_tcp: false, compat_try_both_ops: false,
  cameras: NAMES.map((name, i) => ({ name, watch_input_id: i + 1, visca_port: 52391 + i })),
}, null, 2))
let bridge = null
async function startBridge() {
  bridge = start('quorvel', [config])
  await until('the bridge connected to the switcher', async () =>
    /"state":"connected"/.test((await get(`${BASE}/api/status`)).body))
}
async function stopBridge() {
  const gone = new Promise((r) => bridge.once('exit', r))
  bridge.kill('SIGTERM')
  await Promise.race([gone, sleep(WAIT_MS).then(() => { throw new Error('the bridge did not stop') })])
}

// Every change of the tally page's body, in the page, with the time it happened and the colour
// the page then has.
function watchTally() {
  window.__log = []
  const b = document.body
  const note = () => document.getElementById('note').textContent
  const record = () => window.__log.push({
    t: Date.now(), lamp: b.getAttribute('data-lamp'), live: b.getAttribute('data-live'),
    note: note(), bg: getComputedStyle(b).backgroundColor,
  })
  new MutationObserver(record).observe(b, { attributes: true, subtree: true, childList: true,
    characterData: true })
  record()
}
function overviewState() {
  const rows = {}
  for (const tr of document.querySelectorAll('#rows-body tr.row'))
    rows[tr.getAttribute('data-name')] = tr.getAttribute('data-lamp')
  return {
    switcher: document.getElementById('switcher').getAttribute('data-state'),
    live: document.getElementById('live').getAttribute('data-live'),
    liveText: document.getElementById('live').textContent, rows,
    changes: window.__changes || 0,
  }
}

async function main() {
  start('quorvel-camera-sim', ['--address', CAMERAS, '--reply',
    ...NAMES.flatMap((_, i) => ['--port', String(52391 + i)])])
  await until('the switcher simulator', async () => simLines.length > 0)
  await startBridge()

  const context = await chromium.launchPersistentContext(path.join(work, 'profile'), {
    executablePath: '/usr/bin/chromium', headless: true, timeout: 30000,
    // --disable-dev-shm-usage: a container's /dev/shm is often too small for Chromium.
    args: ['--no-sandbox', '--disable-gpu', '--disable-dev-shm-usage', '--disable-quic',
      '--no-first-run', '--disable-background-networking', '--disable-component-update',
      '--disable-sync'],
  })
  try {
    await run(context)
  } finally {
    await context.close()
  }
}

async function run(context) {
  // Chromium throttles timers of hidden pages; each page here counts as visible.
  const phone = await context.newPage()
  await phone.setViewportSize({ width: 390, height: 844 })
  const overview = await context.newPage()
  await overview.setViewportSize({ width: 1100, height: 380 })
  const other = await context.newPage()
  const navigations = { phone: 0, overview: 0 }
  for (const [name, page] of [['phone', phone], ['overview', overview]])
    page.on('framenavigated', (f) => { if (f === page.mainFrame()) navigations[name]++ })

  await phone.goto(`${BASE}/tally/cam1`)
  await overview.goto(`${BASE}/`)
  navigations.phone = navigations.overview = 0
  await phone.waitForFunction(() => document.body.getAttribute('data-live') === 'live')
  await phone.evaluate(watchTally)
  await overview.evaluate(() => {
    new MutationObserver(() => { window.__changes = (window.__changes || 0) + 1 })
      .observe(document.getElementById('rows-body'), { childList: true, subtree: true })
  })
  for (const page of [phone, overview]) await page.evaluate(() => { window.__same = 'yes' })

  const tally = () => phone.evaluate(() => window.__log[window.__log.length - 1])
  // Waits for the phone page to show `lamp`, at or after `since`; returns that log entry.
  async function phoneShows(lamp, since, extra = () => true) {
    const handle = await phone.waitForFunction(([lamp, since]) =>
      window.__log.find((e) => e.t >= since && e.lamp === lamp), [lamp, since - 5],
    { timeout: WAIT_MS })
    const entry = await handle.jsonValue()
    return extra(entry) ? entry : null
  }
  async function overviewShows(want, what) {
    let s = null
    const matches = async () => {
      s = await overview.evaluate(overviewState)
      return Object.keys(want.rows || {}).every((n) => s.rows[n] === want.rows[n]) &&
        (!want.switcher || s.switcher === want.switcher) && (!want.live || s.live === want.live)
    }
    await until(what, matches).then(() => ok(what), () => fail(`${what}: ${JSON.stringify(s)}`))
  }
  const shot = async (page, name) => {
    if (SHOTS) await page.screenshot({ path: path.join(SHOTS, name) })
  }

  // The simulator starts with input 1 on program and input 2 on preview.
  const first = await tally()
  check(first.lamp === 'PROGRAM' && first.bg === RGB.PROGRAM && first.note === '',
    `phone page red for PROGRAM at start (${JSON.stringify(first)})`)
  await overviewShows({ switcher: 'connected', live: 'live',
    rows: { cam1: 'PROGRAM', cam2: 'PREVIEW', [HTML_NAME]: 'OFF' } },
  'overview lists every camera with its state')

  // Camera names are text: no element made of the name, the link and the title carry it as is.
  const names = await overview.evaluate(() => [...document.querySelectorAll('#rows-body tr.row')]
    .map((tr) => ({ attr: tr.getAttribute('data-name'), link: tr.querySelector('a').textContent,
      href: tr.querySelector('a').getAttribute('href'), b: tr.querySelectorAll('b').length })))
  check(JSON.stringify(names.map((n) => [n.attr, n.link])) ===
    JSON.stringify(NAMES.map((n) => [n, n])) && names.every((n) => n.b === 0) &&
    names[2].href === '/tally/' + encodeURIComponent(HTML_NAME),
  `overview shows the names as text (${JSON.stringify(names)})`)

  // Unknown name: 404 and the cameras as links; the markup name's link finds its camera.
  const answer = await other.goto(`${BASE}/tally/nosuch`)
  const list = await other.evaluate(() => ({
    h1: document.querySelector('h1').textContent,
    names: [...document.querySelectorAll('#cameras a')].map((a) => a.getAttribute('data-name')),
    texts: [...document.querySelectorAll('#cameras a')].map((a) => a.textContent),
  }))
  check(answer.status() === 404 && list.h1.includes('nosuch') &&
    JSON.stringify(list.names) === JSON.stringify(NAMES) &&
    JSON.stringify(list.texts) === JSON.stringify(NAMES),
  `unknown camera: 404 listing the cameras (${answer.status()} ${JSON.stringify(list)})`)
  await other.click('#cameras li:nth-child(3) a')
  await other.waitForFunction(() => document.body.getAttribute('data-live') === 'live')
  const third = await other.evaluate(() => ({
    name: document.getElementById('name').textContent, title: document.title,
    elements: document.querySelectorAll('main b, main script').length,
    lamp: document.body.getAttribute('data-lamp'), url: location.pathname,
  }))
  check(third.name === HTML_NAME && third.title.startsWith(HTML_NAME) && third.elements === 0 &&
    third.lamp === 'OFF' && third.url === '/tally/' + encodeURIComponent(HTML_NAME),
  `the listed link opens the markup-named camera, shown as text (${JSON.stringify(third)})`)

  // Input 3 on program: cam1 off, the third camera on air on its own page and on the overview.
  let at = await simSay('program 3', /program 3, preview 2/)
  const off = await phoneShows('OFF', at)
  check(off.bg === RGB.OFF, `phone page dark grey for OFF (${off.bg})`)
  await other.waitForFunction(() => document.body.getAttribute('data-lamp') === 'PROGRAM',
    null, { timeout: WAIT_MS })
  ok('the markup-named camera\'s page follows its PROGRAM')
  await overviewShows({ rows: { cam1: 'OFF', cam2: 'PREVIEW', [HTML_NAME]: 'PROGRAM' } },
    'overview follows a program change')
  await shot(phone, 'tally-off.png')
  await other.close()

  // Cuts between inputs 1 and 3: cam1 goes PREVIEW, PROGRAM, PREVIEW ... The latency runs from
  // the simulator's cut to the page's colour, both read off this machine's clock.
  at = await simSay('preview 1', /program 3, preview 1/)
  const green = await phoneShows('PREVIEW', at)
  check(green.bg === RGB.PREVIEW, `preview makes the phone page green (${green.bg}, ` +
    `${green.t - at} ms)`)
  await shot(phone, 'tally-preview.png')
  const red = [], back = []
  async function cut(list) {
    await sleep(300)
    const at = await simSay('cut', /^\S+ cut, /)
    const lamp = list === red ? 'PROGRAM' : 'PREVIEW'
    const e = await phoneShows(lamp, at)
    if (e.bg !== RGB[lamp]) fail(`phone page colour for ${lamp}: ${e.bg}`)
    list.push(e.t - at)
  }
  for (let i = 0; i < 5; i++) {
    await cut(red)
    await cut(back)
  }
  await cut(red)
  check(red.every((ms) => ms <= GOAL_MS), `a cut turns the phone page red within ${GOAL_MS} ms ` +
    `(${red.join(', ')} ms; back to green: ${back.join(', ')} ms)`)
  await overviewShows({ rows: { cam1: 'PROGRAM', cam2: 'OFF', [HTML_NAME]: 'PREVIEW' } },
    'overview follows the cuts')
  await shot(phone, 'tally-program.png')
  await overview.waitForTimeout(1100)  // the ages tick over to "1 s ago"
  await shot(overview, 'overview.png')

  // A silent switcher: lost after 5 s, on both pages, then a new session.
  at = await simSay('silence 8', /silent for 8 s/)
  const lost = await phone.waitForFunction(() => document.getElementById('note').textContent ===
    'switcher lost', null, { timeout: WAIT_MS }).then(() => Date.now() - at, () => -1)
  // Lost 5 s after the switcher's last packet, which the simulator sends at least every second.
  check(lost >= 4000, `phone page says "switcher lost" (${lost} ms after the switcher went silent)`)
  await shot(phone, 'tally-lost.png')
  await overviewShows({ switcher: 'lost', live: 'live' }, 'overview shows the switcher lost')
  await phone.waitForFunction(() => document.getElementById('note').textContent === '', null,
    { timeout: WAIT_MS })
  await overviewShows({ switcher: 'connected' }, 'overview shows the new session')

  // The bridge restarts: both pages say they are reconnecting, then follow cuts again.
  await stopBridge()
  const gone = await phone.waitForFunction(() => document.body.getAttribute('data-live') === 'lost' &&
    /^reconnecting/.test(document.getElementById('note').textContent), null, { timeout: WAIT_MS })
    .then(() => true, () => false)
  check(gone, 'phone page says "reconnecting" while the bridge is away')
  await overviewShows({ live: 'lost' }, 'overview says the connection is lost')
  const text = (await overview.evaluate(overviewState)).liveText
  check(/reconnecting/.test(text), `overview says it is reconnecting ("${text}")`)
  await startBridge()
  await phone.waitForFunction(() => document.body.getAttribute('data-live') === 'live' &&
    document.getElementById('note').textContent === '', null, { timeout: WAIT_MS })
  ok('phone page live again after the restart')
  for (let i = 0; i < 2; i++) await cut(i % 2 ? red : back)
  check(red.slice(-1)[0] <= GOAL_MS, `after the restart a cut turns the page red within ` +
    `${GOAL_MS} ms (${red.slice(-1)[0]} ms)`)
  await overviewShows({ live: 'live', switcher: 'connected',
    rows: { cam1: 'PROGRAM', [HTML_NAME]: 'PREVIEW' } }, 'overview follows cuts after the restart')

  const same = await Promise.all([phone, overview].map((p) => p.evaluate(() => window.__same)))
  const changes = (await overview.evaluate(overviewState)).changes
  check(navigations.phone === 0 && navigations.overview === 0 && same.every((s) => s === 'yes') &&
    changes > 5, `no page was reloaded (navigations ${JSON.stringify(navigations)}, overview ` +
    `rows rewritten ${changes} times in place)`)
}

const deadline = setTimeout(() => { fail('the test took over 80 s'); process.exit(1) }, 80000)
main().catch((e) => fail(e.stack || String(e))).finally(async () => {
  clearTimeout(deadline)
  sim.stdin.end('quit\n')
  stopAll()
  if (failures) for (const f of fs.readdirSync(work).filter((f) => f.endsWith('.log')))
    console.log(`--- ${f}\n${fs.readFileSync(path.join(work, f), 'utf8').slice(-3000)}`)
  fs.rmSync(work, { recursive: true, force: true })
  console.log(`${passes} passed, ${failures} failed`)
  process.exit(failures ? 1 : 0)
})
