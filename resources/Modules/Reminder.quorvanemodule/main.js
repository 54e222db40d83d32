'use strict';
// Reminds once a day at a time of day (option "time"; only its hours and minutes count) with a
// desktop notification. The notification's id holds the day, so each day's reminder is shown once
// however often the module runs. The value shows when the next reminder comes.
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

function send(line) {
  process.stdout.write(JSON.stringify(line) + '\n');
}

function finish(result, success, options) {
  send({type: 'finished', options: {result, success, options: options || {}}});
}

function timeOfDay(value) {
  if (typeof value === 'number' && Number.isFinite(value)) {
    const date = new Date(value * 1000);
    return [date.getHours(), date.getMinutes()];
  }
  const match = typeof value === 'string' ? /(\d{1,2}):(\d{2})/.exec(value) : null;
  if (!match) return null;
  const hours = Number(match[1]);
  const minutes = Number(match[2]);
  return hours < 24 && minutes < 60 ? [hours, minutes] : null;
}

function pad(number) {
  return String(number).padStart(2, '0');
}

const options = readArguments();
const message = typeof options.message === 'string' ? options.message.trim() : '';
const time = timeOfDay(options.time);
if (message === '' || !time) {
  finish('Choose a message and a time', false);
  process.exit(0);
}
const weekdaysOnly = options.weekdaysOnly === true;
const now = new Date();
const isRestDay = (date) => weekdaysOnly && (date.getDay() === 0 || date.getDay() === 6);
const due = new Date(now.getFullYear(), now.getMonth(), now.getDate(), time[0], time[1]);
const day = `${due.getFullYear()}-${pad(due.getMonth() + 1)}-${pad(due.getDate())}`;

if (now >= due && !isRestDay(now)) {
  const notification = {id: `reminder-${day}-${pad(time[0])}${pad(time[1])}`, message};
  if (typeof options.link === 'string' && /^https?:\/\//.test(options.link.trim())) {
    notification.url = options.link.trim();
    notification.actionButtonTitle = 'Open';
  }
  send({type: 'notification', options: [notification]});
}

let next = now < due ? due : new Date(due.getTime() + 86400000);
while (isRestDay(next)) next = new Date(next.getTime() + 86400000);
const sameDay = next.toDateString() === now.toDateString();
const when = `${pad(time[0])}:${pad(time[1])}`;
finish(sameDay ? `Next at ${when}` : `Next ${next.toLocaleDateString([], {weekday: 'short'})} at ${when}`, true);
