// SPDX-License-Identifier: MIT
import { ChildProcess } from 'child_process';

/**
 * The exitwatch program for this system and processor, inside app.asar.unpacked when the
 * package is loaded from an Electron app's asar archive. Reading it throws an Error that
 * names the system and processor where the package has no program (macOS, for one).
 */
export declare const path: string;

/**
 * Starts exitwatch on process `pid`, its log in `folder`, without waiting for it: in a
 * session of its own on Linux, with no console on Windows, holding none of this program's
 * streams. The child is unref()'d; wait on its 'exit' event to read the log at once.
 */
export declare function start(pid: number, folder: string): ChildProcess;

/** The program for `platform` and `arch` (as process.platform and process.arch name them)
 * of the package in `directory`; throws where there is none. */
export declare function programFor(platform: string, arch: string, directory: string): string;
