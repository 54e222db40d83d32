'use strict';
// Shows the free space of the file system holding a folder (option "path"), and turns red when it is
// fuller than "warnPercent". A folder that cannot be read gives a failed result saying why.
const fs = require('fs');

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

function size(bytes) {
  const units = ['B', 'KB', 'MB', 'GB', 'TB', 'PB'];
  let value = bytes;
  let unit = 0;
  while (value >= 1000 && unit < units.length - 1) {
    value /= 1000;
    unit += 1;
  }
  return `${value < 10 && unit > 0 ? value.toFixed(1) : Math.round(value)} ${units[unit]}`;
}

const options = readArguments();
const path = typeof options.path === 'string' && options.path.trim() !== '' ? options.path.trim() : '/';
const warnPercent = Number.isFinite(options.warnPercent) ? options.warnPercent : 90;

let stats;
try {
  stats = fs.statfsSync(path);
} catch (error) {
  finish(`Cannot read ${path}: ${error.code || error.message}`, false);
  process.exit(0);
}
const total = stats.blocks * stats.bsize;
const free = stats.bavail * stats.bsize;
const used = total > 0 ? ((total - stats.bfree * stats.bsize) / total) * 100 : 0;
finish(`${size(free)} free of ${size(total)}`, true, used > warnPercent ? {color: '#E74C3C'} : {});
