'use strict';
// Counts down to a date (option "date", as the dashboard stores dates: a number of seconds since
// 1970, an ISO text, or "YYYY-MM-DD HH:MM"). Past dates show how long ago it was.
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

function parseDate(value) {
  if (typeof value === 'number' && Number.isFinite(value)) return new Date(value * 1000);
  if (typeof value !== 'string' || value.trim() === '') return null;
  const text = value.trim();
  const match = /^(\d{4})-(\d{2})-(\d{2})(?:[ T](\d{2}):(\d{2})(?::(\d{2}))?)?$/.exec(text);
  if (match) {
    const [, y, mo, d, h, mi, s] = match;
    return new Date(Number(y), Number(mo) - 1, Number(d), Number(h || 0), Number(mi || 0), Number(s || 0));
  }
  const parsed = new Date(text);
  return Number.isNaN(parsed.getTime()) ? null : parsed;
}

function span(milliseconds, showMinutes) {
  const minutesTotal = Math.floor(milliseconds / 60000);
  const days = Math.floor(minutesTotal / 1440);
  const hours = Math.floor((minutesTotal % 1440) / 60);
  const minutes = minutesTotal % 60;
  const dayText = `${days} ${days === 1 ? 'day' : 'days'}`;
  if (!showMinutes) return dayText;
  return days > 0 ? `${dayText} ${hours} h ${minutes} min` : `${hours} h ${minutes} min`;
}

const options = readArguments();
const title = typeof options.title === 'string' && options.title.trim() !== '' ? options.title.trim() : 'Event';
const date = parseDate(options.date);
if (!date) {
  finish('Choose a date in the options', false);
  process.exit(0);
}
const showMinutes = options.showMinutes !== false;
const left = date.getTime() - Date.now();
if (left > 0) {
  finish(`${title} in ${span(left, showMinutes)}`, true, left < 86400000 ? {color: '#E67E22'} : {});
} else {
  finish(`${title} was ${span(-left, showMinutes)} ago`, true);
}
