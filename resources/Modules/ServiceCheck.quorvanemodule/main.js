'use strict';
// Asks a web address (option "url") and shows its status and answer time: green for a 2xx or 3xx
// answer, red otherwise. A token (option "token", kept secret by the dashboard) goes in the
// Authorization header. A click on the value opens the address.
const fs = require('fs');
const http = require('http');
const https = require('https');

function readArguments() {
  const index = process.argv.indexOf('--arguments');
  if (index < 0 || index + 1 >= process.argv.length) return {};
  try {
    const value = JSON.parse(fs.readFileSync(process.argv[index + 1], 'utf8'));
    return value && typeof value === 'object' ? value : {};
  } catch (error) {
    return {};
  }
}

function finish(result, success, options) {
  process.stdout.write(JSON.stringify({type: 'finished', options: {result, success, options: options || {}}}) + '\n');
}

const options = readArguments();
let address;
try {
  address = new URL(typeof options.url === 'string' ? options.url.trim() : '');
} catch (error) {
  finish('Not a web address', false);
  process.exit(0);
}
if (address.protocol !== 'http:' && address.protocol !== 'https:') {
  finish('Only http and https addresses can be checked', false);
  process.exit(0);
}
const timeout = Math.min(60, Math.max(1, Number.isFinite(options.timeout) ? options.timeout : 10)) * 1000;
const method = options.method === 'HEAD' ? 'HEAD' : 'GET';
const headers = {'User-Agent': 'Quorvane Dashboard Service Check'};
if (typeof options.token === 'string' && options.token.trim() !== '') {
  headers.Authorization = `Bearer ${options.token.trim()}`;
}

const started = process.hrtime.bigint();
const client = address.protocol === 'https:' ? https : http;
const request = client.request(address, {method, headers, timeout}, (response) => {
  response.resume();
  response.on('end', () => {
    const milliseconds = Number((process.hrtime.bigint() - started) / 1000000n);
    const status = response.statusCode || 0;
    const up = status >= 200 && status < 400;
    finish(`${up ? 'Up' : 'Down'}: ${status} in ${milliseconds} ms`, true,
           {color: up ? '#27AE60' : '#E74C3C', onclick: address.href});
  });
});
request.on('timeout', () => request.destroy(new Error('no answer in time')));
// No answer is a measurement like any other: shown in red, not as a failing module.
request.on('error', (error) => finish(`Down: ${error.code || error.message}`, true, {color: '#E74C3C', onclick: address.href}));
request.end();
