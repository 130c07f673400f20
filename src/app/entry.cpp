// SPDX-License-Identifier: GPL-3.0-or-later
// The process entry, on its own so that the test programs can link every
// module of the program and bring their own.
#include "app/main.h"

int main(int argc, char **argv)
{
    return velmoran_main(argc, argv);
}
