// What the page says about a computer, from its latest state report: texts with times in the
// phone's time zone, followed by the computer's clock when its zone shows another time. Pure
// (Intl only, no DOM), so node tests it.

function validZone(zone) {
  if (!zone) return null;
  try {
    new Intl.DateTimeFormat('en-GB', { timeZone: zone });
    return zone;
  } catch {
    return null;
  }
}

function clock(seconds, zone) {
  return new Intl.DateTimeFormat('en-GB', { hour: '2-digit', minute: '2-digit', hourCycle: 'h23', timeZone: zone }).format(seconds * 1000);
}

function day(seconds, zone) {
  return new Intl.DateTimeFormat('en-CA', { year: 'numeric', month: '2-digit', day: '2-digit', timeZone: zone }).format(seconds * 1000);
}

// "HH:mm" in the phone's zone, with the weekday when it is not today there, and the computer's
// "HH:mm" and zone when that clock differs: "14:30 (15:30 Europe/Berlin)".
export function timeText(seconds, { now, phoneZone, macZone }) {
  let text = clock(seconds, phoneZone);
  if (day(seconds, phoneZone) !== day(now, phoneZone)) {
    text = `${new Intl.DateTimeFormat('en-GB', { weekday: 'short', timeZone: phoneZone }).format(seconds * 1000)} ${text}`;
  }
  const zone = validZone(macZone);
  if (zone && clock(seconds, zone) !== clock(seconds, phoneZone)) text += ` (${clock(seconds, zone)} ${zone})`;
  return text;
}

// The card's texts for a state report, or for none yet.
export function describeState(state, { now, phoneZone, macName }) {
  if (!state) {
    return {
      mac: macName,
      zone: '',
      headline: 'Waiting for the first report',
      awake: null,
      battery: '–',
      lastCheckIn: '–',
      nextCheckIn: '–',
      interval: '–',
      reported: '',
    };
  }
  const t = (seconds) => timeText(seconds, { now, phoneZone, macZone: state.tz });
  const awake = state.state === 'awake';
  const power = [state.battery === undefined ? 'No battery' : `${state.battery}%`];
  if (state.charging) power.push('charging');
  else if (state.onCharger) power.push(state.battery === undefined ? 'on power' : 'on charger');
  const battery = power.join(', ');
  return {
    mac: state.mac || macName,
    zone: state.tz ? `Time zone ${state.tz}` : '',
    headline: awake ? (state.awakeUntil !== undefined ? `Awake until ${t(state.awakeUntil)}` : 'Awake') : 'Asleep',
    awake,
    battery,
    lastCheckIn: t(state.lastCheckIn),
    nextCheckIn: state.nextCheckIn !== undefined ? t(state.nextCheckIn) : 'none',
    interval: `every ${state.config.checkInMinutes} min`,
    reported: `Reported at ${t(state.ts)}`,
  };
}

// The line shown while a sent command waits for the computer's answer.
export function pendingText(state, { now, phoneZone, macName, verb }) {
  const next = state?.nextCheckIn;
  if (next !== undefined && next > now) {
    return `${verb} sent. Waiting for ${macName}'s next check-in at ${timeText(next, { now, phoneZone, macZone: state.tz })} (it may be asleep until then).`;
  }
  return `${verb} sent. Waiting for ${macName} to check in (it may be asleep).`;
}

// One acknowledgement as a note: { text, ok }.
export function describeAck(ack) {
  const note = ack.note ? ack.note : ack.ok ? 'Done' : 'Refused';
  return { text: ack.ok ? note : `Refused: ${note}`, ok: ack.ok };
}
