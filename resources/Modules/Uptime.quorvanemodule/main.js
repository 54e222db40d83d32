'use strict';
// Shows how long the computer has been up ("3 days, 4 h 12 min"), and optionally when it started.
const fs = require('fs');
const os = require('os');

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

function duration(seconds) {
  const days = Math.floor(seconds / 86400);
  const hours = Math.floor((seconds % 86400) / 3600);
  const minutes = Math.floor((seconds % 3600) / 60);
  const parts = [];
  if (days > 0) parts.push(`${days} ${days === 1 ? 'day' : 'days'},`);
  if (days > 0 || hours > 0) parts.push(`${hours} h`);
  parts.push(`${minutes} min`);
  return parts.join(' ');
}

const options = readArguments();
const seconds = Math.max(0, Math.floor(os.uptime()));
let text = duration(seconds);
if (options.showBootTime === true) {
  const started = new Date(Date.now() - seconds * 1000);
  text += ` (since ${started.toLocaleString([], {dateStyle: 'short', timeStyle: 'short'})})`;
}
finish(text, true);
