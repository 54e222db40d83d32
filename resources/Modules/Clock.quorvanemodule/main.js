'use strict';
// Shows the local time and date. Options (from the arguments file): "show" ("Time", "Date" or
// "Date and time") and "twentyFourHour" (boolean).
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

const DAYS = ['Sun', 'Mon', 'Tue', 'Wed', 'Thu', 'Fri', 'Sat'];
const MONTHS = ['Jan', 'Feb', 'Mar', 'Apr', 'May', 'Jun', 'Jul', 'Aug', 'Sep', 'Oct', 'Nov', 'Dec'];

function two(number) {
  return String(number).padStart(2, '0');
}

function timeText(date, twentyFourHour) {
  if (twentyFourHour) return `${two(date.getHours())}:${two(date.getMinutes())}`;
  const hours = date.getHours() % 12 || 12;
  return `${hours}:${two(date.getMinutes())} ${date.getHours() < 12 ? 'AM' : 'PM'}`;
}

function dateText(date) {
  return `${DAYS[date.getDay()]} ${date.getDate()} ${MONTHS[date.getMonth()]} ${date.getFullYear()}`;
}

const options = readArguments();
const show = typeof options.show === 'string' ? options.show : 'Date and time';
const twentyFourHour = options.twentyFourHour !== false && options.twentyFourHour !== 0;
const now = new Date();

let text;
if (show === 'Time') {
  text = timeText(now, twentyFourHour);
} else if (show === 'Date') {
  text = dateText(now);
} else {
  text = `${dateText(now)} · ${timeText(now, twentyFourHour)}`;
}
finish(text, true);
