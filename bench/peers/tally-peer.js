// A tally bridge written the way one usually is today: the atem-connection library follows the
// switcher, and every change of a watched input's state sends that input's camera the same VISCA
// command quorvel sends, in one UDP datagram. The benchmark measures it beside quorvel.
//
// usage: node tally-peer.js SWITCHER_IP CAMERA_IP PORT[,PORT...] [ME [INPUT[,INPUT...]]]
//
// One camera per port, all on CAMERA_IP and watching M/E ME (default 0). Camera k watches the
// k-th input of the list; without a list camera k watches input k (1, 2, ...).
'use strict'
const dgram = require('dgram')
const { Atem } = require('atem-connection')

const usage = 'usage: node tally-peer.js SWITCHER_IP CAMERA_IP PORT[,PORT...] [ME [INPUT[,INPUT...]]]'
const [switcherIp, cameraIp, portsText = '', meText = '0', inputsText] = process.argv.slice(2)
const ports = portsText.split(',').map(Number)
const me = Number(meText)
const inputs = inputsText ? inputsText.split(',').map(Number) : ports.map((_, i) => i + 1)
const valid = (n, max) => Number.isInteger(n) && n >= 0 && n <= max
if (!switcherIp || !cameraIp || !ports.every((p) => valid(p, 65535) && p > 0) ||
    inputs.length !== ports.length || !inputs.every((i) => valid(i, 65535)) || !valid(me, 255)) {
  console.error(usage)
  process.exit(2)
}

const commands = {
  PROGRAM: Buffer.from('81017e010a0105ff', 'hex'),
  PREVIEW: Buffer.from('81017e010a0104ff', 'hex'),
  OFF: Buffer.from('81017e010a0100ff', 'hex'),
}

const socket = dgram.createSocket('udp4')
const atem = new Atem()
const cameras = ports.map((port, i) => ({ port, watch: inputs[i], lastSent: null }))

function tallyOf(state, watch) {
  const mixEffect = state && state.video.mixEffects[me]
  if (!mixEffect) return 'OFF'
  if (mixEffect.programInput === watch) return 'PROGRAM'
  if (mixEffect.previewInput === watch) return 'PREVIEW'
  return 'OFF'
}

function update() {
  for (const camera of cameras) {
    const tally = tallyOf(atem.state, camera.watch)
    if (tally === camera.lastSent) continue
    camera.lastSent = tally
    socket.send(commands[tally], camera.port, cameraIp)
  }
}

atem.on('connected', () => {
  console.log(`connected to ${switcherIp}`)
  update()
})
atem.on('stateChanged', update)
atem.on('disconnected', () => console.log('disconnected'))
atem.on('error', (e) => console.error('atem-connection:', e))

function stop() {
  let left = cameras.length
  for (const camera of cameras)
    socket.send(commands.OFF, camera.port, cameraIp, () => --left === 0 && process.exit(0))
  setTimeout(() => process.exit(0), 500)
}
process.on('SIGTERM', stop)
process.on('SIGINT', stop)

atem.connect(switcherIp).catch((e) => {
  console.error('connect failed:', e)
  process.exit(1)
})
