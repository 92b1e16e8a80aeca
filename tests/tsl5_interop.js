// Sends the TSL 5.0 packets of src/tsl to the listeners of the npm library tsl-umd-v5 on loopback
// and checks what it reads: screen, index, the three tallies, brightness and text.
// usage: node tsl5_interop.js PACKET_PRINTER   (TSL5_MODULE_DIR names the npm scratch folder)
//
// What the library reads, and so what is checked with it:
// - one display per packet, whose text runs to the end of the packet: a packet with several
//   displays is checked for its first display's fields and the start of its text;
// - a leading FE 02 is dropped, but a doubled FE is not undone: framed packets are sent only when
//   they hold no FE (the doubling itself is checked byte for byte in tsl_test);
// - the display index is read as a signed number, so it is compared modulo 65536.
// Packets go to its UDP listener only: over TCP the bytes are the same, and how the library reads
// a stream is its own business.
'use strict'
const path = require('path')
const dgram = require('dgram')
const { execFileSync } = require('child_process')
const TSL5 = require(path.join(process.env.TSL5_MODULE_DIR, 'node_modules', 'tsl-umd-v5'))

const ADDRESS = '127.0.0.1'
const MAX_TEXT = 2048 - 6 - 6

// The library binds every address with the port it is given; keep its listener on loopback, on a
// free port.
const listeners = []
const bind = dgram.Socket.prototype.bind
dgram.Socket.prototype.bind = function () {
  listeners.push(this)
  return bind.call(this, 0, ADDRESS)
}

const OFF = 0, RED = 1, GREEN = 2, AMBER = 3
const d = (index, left, textTally, right, brightness, text) =>
  ({ index, left, textTally, right, brightness, text })
const cases = [
  { screen: 0, displays: [d(1, RED, GREEN, AMBER, 3, 'Cam 1')] },
  { screen: 2, displays: [d(0x1234, OFF, OFF, OFF, 0, '')] },
  { screen: 0x00fe, displays: [d(0xfe, GREEN, OFF, RED, 2, 'FE in screen and index')] },
  { screen: 1, displays: [d(65535, AMBER, RED, GREEN, 1, 'Cut\ttext \u00e9')] },
  { screen: 3, displays: [d(7, OFF, AMBER, OFF, 3, 'x'.repeat(3000))] },
  { screen: 4, displays: [d(10, RED, OFF, OFF, 3, 'Left'), d(11, OFF, OFF, GREEN, 3, 'Right')] },
]

// The text as the encoder must send it: printable ASCII, others '?' byte for byte, cut to fit.
const sentText = (text) =>
  [...Buffer.from(text, 'utf8')].map((b) => (b >= 0x20 && b <= 0x7e ? String.fromCharCode(b) : '?'))
    .join('').slice(0, MAX_TEXT)

const input = cases.map((c) => [c.screen, ...c.displays.flatMap((x) =>
  [x.index, x.left, x.textTally, x.right, x.brightness,
    Buffer.from(x.text, 'utf8').toString('hex') || '-'])].join(' ')).join('\n') + '\n'
const printed = execFileSync(process.argv[2], { input }).toString().trim().split('\n')
if (printed.length !== cases.length) throw new Error(`the printer answered ${printed.length} lines`)
cases.forEach((c, i) => {
  c.packets = printed[i].split('|').map((pair) =>
    pair.split('/').map((h) => Buffer.from(h.replace(/ /g, ''), 'hex')))
  if (c.packets.length !== 1) throw new Error(`case ${i}: ${c.packets.length} packets, not one`)
})

const umd = new TSL5()
const received = []
let wake = null
umd.on('message', (m) => {
  received.push(m)
  if (wake) wake()
})
function nextMessage(ms) {
  return new Promise((resolve, reject) => {
    const timer = setTimeout(() => reject(new Error('no message within ' + ms + ' ms')), ms)
    const take = () => {
      if (!received.length) return
      clearTimeout(timer)
      wake = null
      resolve(received.shift())
    }
    wake = take
    take()
  })
}

let failures = 0, checks = 0
function check(what, got, want) {
  checks++
  if (got !== want) {
    failures++
    console.log(`FAIL: ${what}: got ${JSON.stringify(got)}, want ${JSON.stringify(want)}`)
  }
}

function compare(how, c, m, packet) {
  const x = c.displays[0]
  const text = sentText(x.text)
  const what = `${how}, screen ${c.screen} index ${x.index}`
  check(what + ' pbc', m.pbc, packet.length - 2)
  check(what + ' version', m.ver, 0)
  check(what + ' flags', m.flags, 0)
  check(what + ' screen', m.screen, c.screen)
  check(what + ' index', m.index & 0xffff, x.index)
  check(what + ' left', m.display.lh_tally, x.left)
  check(what + ' text tally', m.display.text_tally, x.textTally)
  check(what + ' right', m.display.rh_tally, x.right)
  check(what + ' brightness', m.display.brightness, x.brightness)
  check(what + ' length', m.length, text.length)
  if (c.displays.length === 1) check(what + ' text', m.display.text, text)
  else check(what + ' text start', m.display.text.slice(0, text.length), text)
}

async function run() {
  umd.listenUDP(1)
  await new Promise((r) => setTimeout(r, 200))
  const port = listeners[0].address().port
  const udp = dgram.createSocket('udp4')
  let skipped = 0
  for (const framed of [false, true]) {
    for (const c of cases) {
      const [plain, wrapped] = c.packets[0]
      if (framed && plain.includes(0xfe)) {
        skipped++
        continue
      }
      udp.send(framed ? wrapped : plain, port, ADDRESS)
      compare(framed ? 'DLE/STX' : 'bare', c, await nextMessage(2000), plain)
    }
  }
  console.log(`${checks} checks, ${failures} failed; ${skipped} framed packets with FE not sent`)
  udp.close()
  return failures === 0
}

const overall = setTimeout(() => {
  console.log('FAIL: timed out')
  process.exit(1)
}, 30000)
run().then((ok) => {
  clearTimeout(overall)
  console.log(ok ? 'PASS: tsl-umd-v5 reads the packets as sent' : 'FAIL')
  process.exit(ok ? 0 : 1)
}, (e) => {
  console.log('FAIL: ' + e.message)
  process.exit(1)
})
