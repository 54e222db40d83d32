'use strict';
// Shows the uptime and the 1, 5 and 15 minute load averages. The value turns orange when the last
// minute's load is above the number of processors.
const os = require('os');

function finish(result, success, options) {
  process.stdout.write(JSON.stringify({type: 'finished', options: {result, success, options: options || {}}}) + '\n');
}

function uptimeText(seconds) {
  const days = Math.floor(seconds / 86400);
  const hours = Math.floor((seconds % 86400) / 3600);
  const minutes = Math.floor((seconds % 3600) / 60);
  if (days > 0) return `${days}d ${hours}h`;
  if (hours > 0) return `${hours}h ${minutes}m`;
  return `${minutes}m`;
}

const load = os.loadavg();
const processors = Math.max(1, (os.cpus() || []).length);
const text = `up ${uptimeText(os.uptime())} · load ${load.map((value) => value.toFixed(2)).join(' ')}`;
finish(text, true, load[0] > processors ? {color: '#E67E22'} : {});
