'use strict';
// Shows the memory available to new programs (MemAvailable of /proc/meminfo, else the free memory)
// out of the total. Option "warnPercent": below this share available, the value turns red.
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

function availableBytes() {
  try {
    const match = /^MemAvailable:\s+(\d+)\s+kB/m.exec(fs.readFileSync('/proc/meminfo', 'utf8'));
    if (match) return Number(match[1]) * 1024;
  } catch (error) {
    // Not Linux, or no /proc: the runtime's own figure will do.
  }
  return os.freemem();
}

function gigabytes(bytes) {
  const value = bytes / 1024 ** 3;
  return `${value < 10 ? value.toFixed(1) : Math.round(value)} GB`;
}

const options = readArguments();
const warnPercent = Number.isFinite(options.warnPercent) ? options.warnPercent : 10;
const total = os.totalmem();
const available = Math.min(availableBytes(), total);
const percent = total > 0 ? (available / total) * 100 : 0;
finish(`${gigabytes(available)} available of ${gigabytes(total)}`, true,
       percent < warnPercent ? {color: '#E74C3C'} : {});
