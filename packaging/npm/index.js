// SPDX-License-Identifier: MIT
'use strict';

const nodePath = require('path');
const { spawn } = require('child_process');

// The package's programs under bin/, by system and processor. The 32-bit Windows program
// runs on every Windows, x64 and Arm64 included.
const programs = {
  'linux x64': 'linux-amd64/exitwatch',
  'linux ia32': 'linux-i386/exitwatch',
  'linux arm64': 'linux-arm64/exitwatch',
  'linux arm': 'linux-armhf/exitwatch',
  'win32 x64': 'windows-x86/exitwatch.exe',
  'win32 ia32': 'windows-x86/exitwatch.exe',
  'win32 arm64': 'windows-x86/exitwatch.exe',
};

// The program for `platform` and `arch` of the package in `directory`. Loaded from an
// Electron app's asar archive, the package's programs lie outside it, in
// app.asar.unpacked, since no program can be started from inside the archive.
function programFor(platform, arch, directory) {
  const program = programs[`${platform} ${arch}`];
  if (program === undefined) {
    throw new Error(`exitwatch has no program for ${platform} on ${arch}`);
  }
  const unpacked = directory.replace(/([\\/])app\.asar(?=[\\/]|$)/, '$1app.asar.unpacked');
  return nodePath.join(unpacked, 'bin', program);
}

// Starts the package's exitwatch on process `pid`, its log in `folder`, without waiting
// for it, as doc/starting.md's Node.js start does.
function start(pid, folder) {
  const watchdog = spawn(module.exports.path, [String(pid)], {
    cwd: folder,
    detached: true, // Linux: a session of its own; Windows: no console of this program's
    stdio: 'ignore',
    windowsHide: true,
  });
  watchdog.on('error', (error) => console.error(`exitwatch did not start: ${error.message}`));
  watchdog.unref(); // this program may exit before the watchdog does
  return watchdog;
}

module.exports = { programFor, start };
// Asked for when read, so that loading the package on a system it has no program for
// fails only where the program is wanted.
Object.defineProperty(module.exports, 'path', {
  enumerable: true,
  get: () => programFor(process.platform, process.arch, __dirname),
});
