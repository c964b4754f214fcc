// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// zorp-poll --workspace FILE: runs every poll of a tester's workspace file
// without a window. Each link gets an engine of its own; the polls of a link
// take turns on it, each at its interval (round robin when several are due),
// and every output line names its poll (see TPollOutput::PollName).
//
//   zorp-poll --workspace FILE [-F text|csv|json] [-l REPEAT] [-o TIMEOUT_MS]
//             [--retries N] [-q] [-v]
//
// REPEAT is the number of reads of each poll (default 1; 0: until
// interrupted). The Data panel of each link counts as a poll ("LINKn.panel")
// when its Real time was on; poll windows are named by their "name" or
// "LINKn.POLLm".
#include <QStringList>

// Runs the command; returns the exit status (0: every read answered, 1: any
// failed, 2: bad arguments or file).
int RunWorkspaceCommand(const QStringList& Args);
