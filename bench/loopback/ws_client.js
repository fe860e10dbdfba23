// The node `ws` peer, measured on the same cases as our library. The bench script puts the
// package's folder on NODE_PATH.
//
//   node ws_client.js stream --port P --count N --size S [--tls-ca FILE]
//   node ws_client.js echo --port P --count N --size S [--warmup W] [--tls-ca FILE]
'use strict';

const fs = require('fs');
const WebSocket = require('ws');

// The same rule as payload_pattern.h: printable ASCII by offset, the sequence number in hex in
// the first 8 bytes; every 97th message (and the first and last) is compared whole.
const sequenceDigits = 8;
const patternPeriod = 89;
const firstPatternChar = 0x21;
const fullCheckStride = 97;

function expectedMessage(size, sequence) {
    const message = Buffer.alloc(size);
    for (let i = 0; i < size; ++i) message[i] = firstPatternChar + (i % patternPeriod);
    stampSequence(message, sequence);
    return message;
}

function stampSequence(message, sequence) {
    if (message.length < sequenceDigits) return;
    message.write((sequence >>> 0).toString(16).padStart(sequenceDigits, '0'), 0, 'latin1');
}

function makeChecker(size, count) {
    const reference = expectedMessage(size, 0);
    const head = Math.min(size, sequenceDigits);
    return (data, sequence) => {
        if (data.length !== size) return false;
        if (size === 0) return true;
        stampSequence(reference, sequence);
        if (sequence % fullCheckStride === 0 || sequence + 1 === count) return data.equals(reference);
        const middle = size >> 1;
        return data.compare(reference, 0, head, 0, head) === 0 && data[middle] === reference[middle] &&
            data[size - 1] === reference[size - 1];
    };
}

function parseOptions(argv) {
    const options = {mode: argv[0], port: 0, count: 0, size: 0, warmup: 0, tlsCa: ''};
    const names = {'--port': 'port', '--count': 'count', '--size': 'size', '--warmup': 'warmup'};
    for (let i = 1; i < argv.length; i += 2) {
        if (argv[i] === '--tls-ca') options.tlsCa = argv[i + 1];
        else if (names[argv[i]] !== undefined) options[names[argv[i]]] = Number(argv[i + 1]);
        else throw new Error(`bad option: ${argv[i]}`);
    }
    if (options.mode !== 'stream' && options.mode !== 'echo') throw new Error('mode: stream|echo');
    return options;
}

function fail(text) {
    process.stderr.write(`ws_client: ${text}\n`);
    process.exit(1);
}

function open(options) {
    const scheme = options.tlsCa ? 'wss' : 'ws';
    const settings = {perMessageDeflate: false, maxPayload: 256 * 1024 * 1024};
    if (options.tlsCa) settings.ca = fs.readFileSync(options.tlsCa);
    const ws = new WebSocket(`${scheme}://127.0.0.1:${options.port}/`, settings);
    ws.on('error', (error) => fail(error.message));
    return ws;
}

function runStream(options) {
    const check = makeChecker(options.size, options.count);
    const start = process.hrtime.bigint();
    let received = 0;
    let seconds = 0;
    const ws = open(options);
    ws.on('message', (data, isBinary) => {
        if (isBinary || received >= options.count || !check(data, received)) {
            fail(`message ${received} is wrong`);
        }
        if (++received === options.count) seconds = Number(process.hrtime.bigint() - start) / 1e9;
    });
    ws.on('close', (code) => {
        if (received !== options.count) fail(`${received} messages instead of ${options.count}`);
        if (code !== 1000) fail(`close code ${code}`);
        const bytes = options.count * options.size;
        console.log(JSON.stringify({seconds, messages: options.count, bytes}));
    });
}

function runEcho(options) {
    const message = expectedMessage(options.size, 0).toString('latin1');
    const total = options.warmup + options.count;
    const roundTrips = [];
    let sentAt = 0n;
    let done = 0;
    const ws = open(options);
    const sendNext = () => {
        sentAt = process.hrtime.bigint();
        ws.send(message);
    };
    ws.on('open', sendNext);
    ws.on('message', (data) => {
        const micros = Number(process.hrtime.bigint() - sentAt) / 1e3;
        if (data.toString('latin1') !== message) fail(`echo ${done} is wrong`);
        if (done++ >= options.warmup) roundTrips.push(micros);
        if (done < total) sendNext();
        else ws.close(1000);
    });
    ws.on('close', () => {
        if (done !== total) fail(`${done} echoes instead of ${total}`);
        console.log(JSON.stringify({rtt_us: roundTrips}));
    });
}

const options = parseOptions(process.argv.slice(2));
if (options.mode === 'stream') runStream(options);
else runEcho(options);
