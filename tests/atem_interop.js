// Connects the atem-connection library to quorvel-switcher-sim and checks what it reports.
// usage: node atem_interop.js SIM_BINARY ADDRESS   (ATEM_MODULE_DIR names the npm scratch folder)
'use strict'
const path = require('path')
const { spawn } = require('child_process')
const { Atem } = require(path.join(process.env.ATEM_MODULE_DIR, 'node_modules', 'atem-connection'))

const [simBinary, address] = process.argv.slice(2)
const sim = spawn(simBinary, ['--address', address], { stdio: ['pipe', 'pipe', 'inherit'] })
let simOutput = ''
sim.stdout.on('data', (d) => {
  simOutput += d
  for (const line of String(d).split('\n')) if (line) console.log('[switcher] ' + line)
})

const atem = new Atem({ disableMultithreaded: true })
let disconnects = 0
let failed = false

function finish(ok, message) {
  console.log((ok ? 'PASS: ' : 'FAIL: ') + message)
  failed = failed || !ok
  atem.disconnect().catch(() => {}).finally(() => {
    sim.stdin.end('quit\n')
    setTimeout(() => process.exit(failed ? 1 : 0), 300)
  })
}

const overall = setTimeout(() => finish(false, 'timed out'), 40000)
const sleep = (ms) => new Promise((r) => setTimeout(r, ms))
const me0 = () => atem.state && atem.state.video.mixEffects[0]
const send = (line) => sim.stdin.write(line + '\n')

function waitFor(predicate, ms, what) {
  return new Promise((resolve, reject) => {
    const start = Date.now()
    const tick = () => {
      if (predicate()) return resolve()
      if (Date.now() - start > ms) return reject(new Error('no ' + what + ' within ' + ms + ' ms'))
      setTimeout(tick, 20)
    }
    tick()
  })
}

atem.on('error', (e) => console.log('atem-connection error:', e))
atem.on('disconnected', () => {
  disconnects++
  console.log('atem-connection: disconnected')
})

async function run() {
  await waitFor(() => simOutput.includes('switcher simulator on'), 5000, 'simulator start')
  send('program 3')
  send('preview 4')
  await waitFor(() => simOutput.includes('preview 4'), 5000, 'bus set-up')

  const connected = new Promise((resolve) => atem.once('connected', resolve))
  await atem.connect(address)
  await Promise.race([connected, sleep(10000).then(() => Promise.reject(new Error('no connected event')))])
  const pgm = me0().programInput
  const pvw = me0().previewInput
  console.log(`connected: program ${pgm}, preview ${pvw}, protocol ${atem.state.info.apiVersion}`)
  if (pgm !== 3 || pvw !== 4) throw new Error(`expected program 3 / preview 4, got ${pgm} / ${pvw}`)

  send('cut')
  await waitFor(() => me0().programInput === 4 && me0().previewInput === 3, 5000, 'cut')
  console.log('cut seen: program 4, preview 3')

  // Stay idle across a few keep-alive rounds: the session must hold without any traffic from us.
  await sleep(3500)
  if (disconnects > 0 || !atem.status) throw new Error('session lost while idle')
  send('program 7')
  await waitFor(() => me0().programInput === 7, 5000, 'program change after idle')

  // A lossy, shuffling link: retransmission must still bring every change across.
  send('loss 30')
  send('reorder 30')
  send('duplicate 20')
  for (let input = 11; input <= 22; input++) send('program ' + input)
  await waitFor(() => me0().programInput === 22, 15000, 'program changes over a lossy link')
  send('faults off')
  console.log('lossy link: program 22 seen')
  send('status')
  await waitFor(() => /1 open of 1 clients/.test(simOutput), 3000, 'one open client in status')
  clearTimeout(overall)
  finish(true, 'atem-connection accepted the simulator')
}

run().catch((e) => {
  clearTimeout(overall)
  finish(false, e.message)
})
