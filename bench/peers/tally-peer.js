// A tally bridge written the way one usually is today: the atem-connection library follows the
// switcher, and every change of the watched input's state sends the camera the same VISCA
// command quorvel sends, in one UDP datagram. The benchmark measures it beside quorvel.
//
// usage: node tally-peer.js SWITCHER_IP CAMERA_IP CAMERA_PORT [ME [WATCH_INPUT]]
'use strict'
const dgram = require('dgram')
const { Atem } = require('atem-connection')

const [switcherIp, cameraIp, cameraPortText, meText = '0', watchText = '1'] = process.argv.slice(2)
const cameraPort = Number(cameraPortText)
const me = Number(meText)
const watch = Number(watchText)
if (!switcherIp || !cameraIp || !cameraPort) {
  console.error('usage: node tally-peer.js SWITCHER_IP CAMERA_IP CAMERA_PORT [ME [WATCH_INPUT]]')
  process.exit(2)
}

const commands = {
  PROGRAM: Buffer.from('81017e010a0105ff', 'hex'),
  PREVIEW: Buffer.from('81017e010a0104ff', 'hex'),
  OFF: Buffer.from('81017e010a0100ff', 'hex'),
}

const camera = dgram.createSocket('udp4')
const atem = new Atem()
let lastSent = null

function tallyOf(state) {
  const mixEffect = state && state.video.mixEffects[me]
  if (!mixEffect) return 'OFF'
  if (mixEffect.programInput === watch) return 'PROGRAM'
  if (mixEffect.previewInput === watch) return 'PREVIEW'
  return 'OFF'
}

function update() {
  const tally = tallyOf(atem.state)
  if (tally === lastSent) return
  lastSent = tally
  camera.send(commands[tally], cameraPort, cameraIp)
}

atem.on('connected', () => {
  console.log(`connected to ${switcherIp}`)
  update()
})
atem.on('stateChanged', update)
atem.on('disconnected', () => console.log('disconnected'))
atem.on('error', (e) => console.error('atem-connection:', e))

function stop() {
  camera.send(commands.OFF, cameraPort, cameraIp, () => process.exit(0))
  setTimeout(() => process.exit(0), 500)
}
process.on('SIGTERM', stop)
process.on('SIGINT', stop)

atem.connect(switcherIp).catch((e) => {
  console.error('connect failed:', e)
  process.exit(1)
})
