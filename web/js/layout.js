// Where every control of the window sits on the page: pages, frames and rows, as data.
// Channel pages are generated from one table, the way the server wires its channels.
// A row names controls by id ("Name" or "Name(index)"); a label text that starts with "@"
// is taken live from that control's caption instead of being fixed here.

// Nine decoded readings of a channel: index of field f (1..9) in Label3/Label4.
export function fieldIndex(channel, f) {
  switch (channel) {
    case 1: return f - 1;
    case 2: return 18 - f;
    case 3: return 17 + f;
    default: return 26 + f;
  }
}

export const CHANNELS = [
  { n: 1, enable: null, port: 'Combo1', speed: 'Combo2', apply: 'Command2',
    dataPort: 'portip1(0)', audioPort: 'portip1(2)', applyPorts: 'Command3', sockets: 'Text24' },
  { n: 2, enable: 'Check1(0)', port: 'Combo5', speed: 'Combo4', apply: 'Command1',
    dataPort: 'portip1(4)', audioPort: 'portip1(5)', applyPorts: 'Command6', sockets: 'Text15' },
  { n: 3, enable: 'Check1(1)', port: 'Combo6', speed: 'Combo7', apply: 'Command4',
    dataPort: 'portip1(6)', audioPort: 'portip1(7)', applyPorts: 'Command7', sockets: 'Text19' },
  { n: 4, enable: 'Check1(2)', port: 'Combo8', speed: 'Combo9', apply: 'Command5',
    dataPort: 'portip1(8)', audioPort: 'portip1(9)', applyPorts: 'Command8', sockets: 'Text25' },
].map((c) => {
  const i = c.n - 1;
  return {
    ...c,
    lcd: `text5(${i})`,
    pageLamp: `comdata(${i + 4})`,
    serialLamp: `comdata(${i})`,
    portOpen: `comstat1(${i})`,
    serialFrame: `Frame5(${i})`,
    netFrame: `Frame6(${i})`,
    readout: `Frame1(${i})`,
    rate: `Combo10(${i})`,
    device: `Combo13(${i})`,
    audioApply: `Command12(${i})`,
    volume: `Command13(${i})`,
    audioClients: `Text17(${i})`,
    capture: `AUDIOSTAT(${i})`,
    codec: `AUDIOSTAT(${i + 4})`,
    ipserver: `AUDIOSTAT(${i + 8})`,
    audioLink: `AUDIOlink(${i})`,
    dataLamp: `shape2(${i})`,
    fields: Array.from({ length: 9 }, (_, f) => fieldIndex(c.n, f + 1)),
  };
});

const perChannel = (fn) => CHANNELS.map(fn);

function channelPage(ch) {
  const serialRows = [
    { label: 'Serial port:', control: ch.port },
    { label: 'Speed (baud):', control: ch.speed },
    { buttons: [ch.apply] },
  ];
  if (ch.enable) serialRows.unshift({ control: ch.enable });
  const sections = [
    { kind: 'radio', channel: ch.n, title: `Radio ${ch.n}` },
    { frame: ch.serialFrame, rows: serialRows },
    { frame: ch.netFrame, rows: [
      { label: 'Dataport:', control: ch.dataPort, inputmode: 'numeric' },
      { label: 'Audioport:', control: ch.audioPort, inputmode: 'numeric' },
      { buttons: [ch.applyPorts] },
      { label: 'Default SampleRate:', control: ch.rate },
      { label: 'Audio Device #:', control: ch.device },
      { buttons: [ch.audioApply, ch.volume] },
    ] },
  ];
  if (ch.n === 1) {
    sections.push({ frame: 'Frame10', rows: [
      { label: 'Text ID:', control: 'Text11(0)' },
      { label: 'Spare port:', control: 'portip1(1)', inputmode: 'numeric' },
    ] });
  }
  return { id: `scanner${ch.n}`, tab: ch.n - 1, channel: ch.n, sections };
}

const grid = (label, ids, extra = {}) => ({ label, controls: ids, ...extra });

// Pages of the main tab control SSTab1, in tab order.
export const PAGES = [
  ...CHANNELS.map(channelPage),
  { id: 'status', tab: 4, sections: [
    { frame: 'Frame11', grid: { columns: ['1', '2', '3', '4'], headings: 0, rows: [
      grid('ComData:', perChannel((c) => c.serialLamp)),
      grid('Comopen:', perChannel((c) => c.portOpen)),
      grid('Poll step', perChannel((c) => `Label5(${c.n - 1})`), { muted: true }),
    ] } },
    { frame: 'Frame9', grid: { columns: ['1', '2', '3', '4'], headings: 4, rows: [
      grid('Dataport:', perChannel((c) => c.dataLamp)),
      grid('AudioLink:', perChannel((c) => c.audioLink)),
      grid('Port fault:', perChannel((c) => `lblPortFault(${c.n - 1})`)),
      grid('Audio value', perChannel((c) => `Label22(${c.n - 1})`), { muted: true }),
      grid('Listener', perChannel((c) => `${c.sockets}(0)`), { muted: true, field: true }),
      ...[1, 2, 3, 4].map((s) => grid(`Slot ${s}`, perChannel((c) => `${c.sockets}(${s})`), { muted: true, field: true })),
    ] }, note: 'Socket states: 0 closed, 2 listening, 7 connected, 8 closing, 9 error.' },
    { frame: 'Frame4', grid: { columns: ['1', '2', '3', '4'], headings: 8, rows: [
      grid('AudioDev:', perChannel((c) => c.capture)),
      grid('Codec:', perChannel((c) => c.codec)),
      grid('IPserver:', perChannel((c) => c.ipserver)),
      grid('Active Connections/ Max. connections:', perChannel((c) => c.audioClients), { field: true }),
      grid('Audio server value', perChannel((c) => `Label14(${c.n - 1})`), { muted: true }),
    ] } },
    { frame: 'Frame12', grid: { columns: ['1', '2', '3', '4'], headings: 12, rows: [
      grid('Send interval', perChannel((c) => `Text9(${c.n - 1})`), { muted: true, field: true }),
    ] } },
    { frame: 'Frame14', rows: [
      { options: ['Option1(0)', 'Option1(1)'], legend: 'Audio transport' },
      { control: 'lblRestartNote', note: true },
      { label: 'In use:', control: 'Label13' },
    ] },
    { title: 'Serial ports', rows: [{ buttons: ['Command11'] }] },
    { title: 'List', rows: [
      { label: 'List1', control: 'List1' },
      { buttons: ['cmdclr'] },
    ] },
    { frame: 'Frame3', note: 'The file-upload listener of this panel is never started by the server.' },
    { kind: 'commands' },
  ] },
  { id: 'audio', tab: 5, sections: [
    { frame: 'Frame13', rows: [{ buttons: ['Command9'] }, { label: 'Sound library:', control: 'lblSoundLibrary' }] },
    { kind: 'audioChains', title: 'Audio components' },
    { title: 'Icecast', rows: perChannel((c) => ({ label: `Channel ${c.n}:`, control: `lblIcecast(${c.n - 1})` })) },
    { kind: 'listeners' },
    { title: 'Call recording', rows: perChannel((c) => ({ label: `Channel ${c.n}:`, control: `lblCalls(${c.n - 1})` })) },
  ] },
];

// The top-level tab control SSTab3 and the per-channel SSTab2 inside its first page.
export const SCANNER_DATA = {
  tabs: 'SSTab3',
  pages: [
    { kind: 'readouts', tabs: 'SSTab2' },
    { frame: 'Frame7', columns: ['Received from clients', 'Queued for the radio'],
      rows: perChannel((c) => [`txtoutput(${c.n - 1})`, `Text1(${c.n - 1})`]) },
    { frame: 'Frame8', columns: ['Readout text', 'Taken by the status frame'],
      rows: perChannel((c) => [`Text6(${c.n - 1})`, `Text8(${c.n - 1})`]),
      extra: [{ label: "Channel 1's status frame as built", control: 'Text7' }, { label: 'As last sent', control: 'Text10' }] },
  ],
};

// Text fields the server writes many times a second: shown read-only, several lines.
export const DISPLAY_FIELDS = /^(text5|Text6|Text8|txtoutput|Text1|Text24|Text15|Text19|Text25|Text17|Text9)\(|^(Text7|Text10)$/;
export const MULTILINE_FIELDS = /^(text5|Text6|Text8|txtoutput|Text1)\(|^(Text7|Text10)$/;

// Hover texts the window gives lamps that carry none of their own in the model.
export const LAMP_HINTS = {
  comdata: 'Green: Communication OK',
  comstat1: 'Green: serial port open',
  shape2: 'Green: a data client is connected',
  AUDIOlink: 'Green: an audio client is connected',
  AUDIOSTAT: 'Green: audio component active',
};

// The audio components of each channel: capture, codec, audio server.
export const COMPONENTS = [
  ['serverInDeviceX', 'serverCodecX1', 'serverIpServerX'],
  ['wavein2', 'wavec2', 'ipserv2'],
  ['wavein3', 'wavec3', 'ipserv3'],
  ['wavein4', 'wavec4', 'ipserv4'],
];
