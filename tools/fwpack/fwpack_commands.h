// SPDX-License-Identifier: GPL-3.0-or-later
// fwpack's subcommands; each takes the words after its own name and returns
// the process exit status.
#pragma once

int run_build(int argc, char **argv);
int run_image(int argc, char **argv);
int run_reseal(int argc, char **argv);
int run_show(int argc, char **argv);
int run_sign(int argc, char **argv);
int run_verify(int argc, char **argv);
