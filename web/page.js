// The page's side of ut_pack: it hands the picked files to the command line's
// own code (the WebAssembly module, a fresh instance for each command, its
// files in that instance's memory) and shows what it says. Nothing is stored
// and nothing is fetched.
'use strict';

let compiledModule = null;

function decodeBase64(text) {
  const raw = atob(text);
  const bytes = new Uint8Array(raw.length);
  for (let i = 0; i < raw.length; ++i) {
    bytes[i] = raw.charCodeAt(i);
  }
  return bytes;
}

// Runs `ut_pack ARGS` in the folder `cwd` on files in memory ({path: bytes});
// returns its exit status, its standard output and error, and the files
// asked for (in folders made for them) that exist afterwards. The paths the
// tool names are those of the engineer's folder: ARGS name files in `cwd`
// by their names alone.
async function runUtPack(args, files, wanted, cwd) {
  let out = '';
  let err = '';
  const instance = await createUtPack({
    noInitialRun: true,
    print: (text) => { out += text + '\n'; },
    printErr: (text) => { err += text + '\n'; },
    instantiateWasm: (imports, done) => {
      WebAssembly.instantiate(compiledModule, imports).then((made) => done(made, compiledModule));
      return {};
    },
  });
  const fs = instance.FS;
  const folderOf = (path) => path.slice(0, path.lastIndexOf('/'));
  for (const [path, bytes] of Object.entries(files)) {
    fs.mkdirTree(folderOf(path));
    fs.writeFile(path, bytes);
  }
  for (const path of wanted) {
    fs.mkdirTree(folderOf(path));
  }
  fs.mkdirTree(cwd);
  fs.chdir(cwd);
  const status = instance.callMain(args);
  const found = {};
  for (const path of wanted) {
    try {
      found[path] = fs.readFile(path);
    } catch (e) {
      // not written: the command failed or had nothing to write
    }
  }
  // The secret key and its password go with the instance; its copy of them
  // in memory is overwritten first.
  for (const path of Object.keys(files)) {
    try {
      fs.writeFile(path, new Uint8Array(files[path].length));
    } catch (e) {
      // already gone
    }
  }
  return { status, out, err, files: found };
}

function fileBytes(file) {
  return file.arrayBuffer().then((buffer) => new Uint8Array(buffer));
}

function download(name, bytes) {
  const url = URL.createObjectURL(new Blob([bytes], { type: 'application/octet-stream' }));
  const link = document.createElement('a');
  link.href = url;
  link.download = name;
  document.body.appendChild(link);
  link.click();
  link.remove();
  setTimeout(() => URL.revokeObjectURL(url), 60000);
}

function show(id, text) {
  document.getElementById(id).textContent = text;
}

// A name as the folder in memory can hold it: a picked file's name is its
// last component already; "." and ".." are refused by the tool's own checks.
function safeName(name) {
  return name.replace(/\//g, '_');
}

async function createPackage() {
  const picked = Array.from(document.getElementById('files').files);
  const scramble = document.getElementById('scramble').checked;
  const force = document.getElementById('force').checked;
  const keyInput = document.getElementById('sign-key');
  const passwordInput = document.getElementById('sign-password');
  if (picked.length === 0) {
    show('create-output', 'Pick the files of the package first.');
    return;
  }
  const files = {};
  for (const file of picked) {
    files['/package/' + safeName(file.name)] = await fileBytes(file);
  }
  const args = ['create'];
  if (scramble) args.push('--scramble');
  if (force) args.push('--force');
  const signing = keyInput.files.length > 0;
  if (signing) {
    files['/key/secret.key'] = await fileBytes(keyInput.files[0]);
    files['/key/password'] = new TextEncoder().encode(passwordInput.value + '\n');
    args.push('--sign', '/key/secret.key', '--password-file', '/key/password');
    // The fields of the trusted comment that boards read: ut_pack checks them.
    for (const [id, option] of [['sign-boards', '--board'], ['sign-types', '--type']]) {
      for (const name of document.getElementById(id).value.split(/[\s,]+/)) {
        if (name !== '') args.push(option, name);
      }
    }
    const sequence = document.getElementById('sign-sequence').value.trim();
    if (sequence !== '') args.push('--sequence', sequence);
  }
  args.push('/package', 'command.f');
  const result = await runUtPack(args, files, ['/out/command.f', '/out/command.f.minisig'], '/out');
  if (signing) {
    // The key and its password served this one signing.
    files['/key/secret.key'].fill(0);
    files['/key/password'].fill(0);
    keyInput.value = '';
    passwordInput.value = '';
  }
  const made = result.files['/out/command.f'];
  const signature = result.files['/out/command.f.minisig'];
  let text = result.out + result.err;
  if (result.status === 0 && made) {
    download('command.f', made);
    if (signature) {
      download('command.f.minisig', signature);
    }
    text += signature ? 'Downloaded command.f and command.f.minisig.\n' : 'Downloaded command.f.\n';
  } else {
    text += 'No package made.\n';
  }
  show('create-output', text);
}

async function makeKeyPair() {
  const password = document.getElementById('keygen-password');
  const again = document.getElementById('keygen-password-again');
  if (password.value !== again.value) {
    show('keygen-output', 'The two passwords differ.');
    return;
  }
  const files = {};
  const args = ['keygen'];
  if (password.value === '') {
    args.push('--no-password');
  } else {
    files['/key/password'] = new TextEncoder().encode(password.value + '\n');
    args.push('--password-file', '/key/password');
  }
  args.push('ut_pack.key', 'ut_pack.pub');
  const result = await runUtPack(args, files, ['/out/ut_pack.key', '/out/ut_pack.pub'], '/out');
  if (files['/key/password']) files['/key/password'].fill(0);
  password.value = '';
  again.value = '';
  let text = result.out + result.err;
  const secret = result.files['/out/ut_pack.key'];
  const pub = result.files['/out/ut_pack.pub'];
  if (result.status === 0 && secret && pub) {
    download('ut_pack.key', secret);
    download('ut_pack.pub', pub);
    secret.fill(0);
    text += 'Downloaded ut_pack.key (keep it to yourself) and ut_pack.pub (for the boards).\n';
    if (args.includes('--no-password')) {
      text += 'The secret key has no password: anyone who has the file can sign.\n';
    }
  } else {
    text += 'No key pair made.\n';
  }
  show('keygen-output', text);
}

async function checkPackage() {
  const picked = Array.from(document.getElementById('package').files);
  const keys = Array.from(document.getElementById('keys').files);
  const board = document.getElementById('board').files;
  const verdict = document.getElementById('verdict');
  const packageFile = picked.find((f) => !f.name.endsWith('.minisig'));
  if (!packageFile) {
    verdict.textContent = '';
    show('check-output', 'Pick command.f first (with command.f.minisig when it is signed).');
    return;
  }
  const signatureFile = picked.find((f) => f.name.endsWith('.minisig'));
  const packageName = safeName(packageFile.name);
  const packagePath = '/stick/' + packageName;
  const files = { [packagePath]: await fileBytes(packageFile) };
  if (signatureFile) {
    files[packagePath + '.minisig'] = await fileBytes(signatureFile);
  }
  const args = ['verify'];
  for (const [i, key] of keys.entries()) {
    const path = `/keys/${i}/${safeName(key.name)}`;
    files[path] = await fileBytes(key);
    args.push('--key', path);
  }
  if (board.length > 0) {
    files['/board/' + safeName(board[0].name)] = await fileBytes(board[0]);
    args.push('--board-file', '/board/' + safeName(board[0].name));
  }
  args.push(packageName);
  const verified = await runUtPack(args, files, [], '/stick');
  const listed = await runUtPack(['list', packageName], files, [], '/stick');
  const good = verified.status === 0;
  const reasons = verified.err.split('\n').filter((line) => line.includes(': error: '))
    .map((line) => line.replace(/^ut_pack: \S+: error: /, ''));
  const goodLine = verified.out.split('\n').find((line) => line.includes(': good: ')) || '';
  verdict.textContent = good
    ? 'good: ' + goodLine.slice(goodLine.indexOf(': good: ') + 8)
    : 'refused: ' + (reasons.join('; ') || verified.err.trim());
  verdict.className = 'verdict ' + (good ? 'good' : 'refused');
  show('check-output', verified.out + verified.err + '\n' + listed.out + listed.err);
  showFacts(await runUtPack(['list', '--json', packageName], files, [], '/stick'));
}

// The files and the rows of a package as tables, from `ut_pack list --json`
// (a command line without it leaves the words of `list` alone).
function showFacts(listed) {
  const view = document.getElementById('check-tables');
  view.textContent = '';
  let facts = null;
  try {
    facts = listed.status === 2 ? null : JSON.parse(listed.out);
  } catch (e) {
    facts = null;
  }
  if (!facts) return;
  const sections = [
    ['Files', 'entries', ['#', 'file', 'offset', 'size'], (e) => [e.name, e.offset, e.size]],
    ['Rows', 'rows', ['row', 'code', 'name', 'what the board does'],
      (r) => [r.code, r.name, r.action]],
  ];
  for (const [title, key, headings, values] of sections) {
    if (!Array.isArray(facts[key])) continue;
    const shown = table(headings, key);
    facts[key].forEach((item, i) => {
      const tr = document.createElement('tr');
      for (const value of [i + 1, ...values(item)]) {
        tr.appendChild(cell('td', String(value)));
      }
      shown.appendChild(tr);
    });
    view.appendChild(cell('h3', title));
    view.appendChild(shown);
  }
}

// The receipt: its head lines (board, version, time, package, signature),
// one line for each row with the script's output below it, then the log.
function parseReceipt(text) {
  const receipt = { head: [], rows: [], log: [], valid: false };
  const lines = text.split(/\r?\n/);
  let part = 'head';
  for (const line of lines) {
    if (part === 'head' && line === 'usb_tools receipt') {
      receipt.valid = true;
      continue;
    }
    if (part !== 'log' && line === 'log:') {
      part = 'log';
      continue;
    }
    const row = /^row (\d+): <([^>]*)> (.*): ([^:]*)$/.exec(line);
    if (part !== 'log' && row) {
      part = 'rows';
      receipt.rows.push({ number: row[1], code: row[2], name: row[3], outcome: row[4], output: [] });
      continue;
    }
    if (part === 'rows') {
      // A script's output stands below its row, each line led by "    | ".
      const output = /^ {4}\| ?(.*)$/.exec(line);
      if (output) {
        receipt.rows[receipt.rows.length - 1].output.push(output[1]);
      } else if (line !== '') {
        receipt.rows[receipt.rows.length - 1].output.push(line);
      }
    } else if (part === 'head') {
      const colon = line.indexOf(': ');
      if (colon > 0) receipt.head.push([line.slice(0, colon), line.slice(colon + 2)]);
    } else if (line !== '') {
      const level = /\[([EWID])\]/.exec(line);
      receipt.log.push({ level: level ? level[1] : '', text: line });
    }
  }
  return receipt;
}

function cell(tag, text, className) {
  const element = document.createElement(tag);
  element.textContent = text;
  if (className) element.className = className;
  return element;
}

function table(headings, className) {
  const element = document.createElement('table');
  if (className) element.className = className;
  const head = document.createElement('tr');
  for (const heading of headings) head.appendChild(cell('th', heading));
  element.appendChild(head);
  return element;
}

const LEVELS = { E: 'error', W: 'warning', I: 'info', D: 'debug' };

async function showReceipt() {
  const view = document.getElementById('receipt-view');
  view.textContent = '';
  const picked = document.getElementById('receipt').files;
  if (picked.length === 0) return;
  const receipt = parseReceipt(await picked[0].text());
  if (!receipt.valid) {
    view.appendChild(cell('p', 'This is not a usb_tools receipt.', 'refused'));
    return;
  }
  const head = table(['', ''], 'receipt-head');
  for (const [key, value] of receipt.head) {
    const tr = document.createElement('tr');
    const outcome = key === 'package' ? (value === 'taken in' ? 'good' : 'refused') : '';
    tr.appendChild(cell('th', key));
    tr.appendChild(cell('td', value, outcome));
    head.appendChild(tr);
  }
  head.firstChild.remove();
  view.appendChild(head);

  const rows = table(['row', 'code', 'name', 'outcome', 'output'], 'receipt-rows');
  for (const row of receipt.rows) {
    const tr = document.createElement('tr');
    const bad = !/^(exit status 0|done)$/.test(row.outcome);
    tr.appendChild(cell('td', row.number));
    tr.appendChild(cell('td', row.code));
    tr.appendChild(cell('td', row.name));
    tr.appendChild(cell('td', row.outcome, bad ? 'refused' : 'good'));
    const output = document.createElement('td');
    output.appendChild(cell('pre', row.output.join('\n')));
    tr.appendChild(output);
    rows.appendChild(tr);
  }
  view.appendChild(cell('h3', receipt.rows.length ? 'Rows' : 'No rows'));
  if (receipt.rows.length) view.appendChild(rows);

  const log = table(['level', 'line'], 'log');
  for (const entry of receipt.log) {
    const tr = document.createElement('tr');
    tr.className = entry.level ? 'level-' + entry.level : '';
    tr.appendChild(cell('td', LEVELS[entry.level] || ''));
    tr.appendChild(cell('td', entry.text));
    log.appendChild(tr);
  }
  view.appendChild(cell('h3', 'Log'));
  view.appendChild(log);
}

function whenClicked(id, action) {
  const button = document.getElementById(id);
  button.addEventListener('click', async () => {
    button.disabled = true;
    try {
      await action();
    } finally {
      button.disabled = false;
    }
  });
}

async function start() {
  compiledModule = await WebAssembly.compile(decodeBase64(UT_PACK_WASM));
  whenClicked('create', createPackage);
  whenClicked('keygen', makeKeyPair);
  whenClicked('check', checkPackage);
  document.getElementById('receipt').addEventListener('change', showReceipt);
  for (const id of ['create', 'keygen', 'check']) {
    document.getElementById(id).disabled = false;
  }
  document.getElementById('loading').remove();
  document.body.dataset.ready = '1';
}

start().catch((e) => show('loading', 'This page cannot run here: ' + e));
