// SPDX-License-Identifier: GPL-3.0-or-later
// Feeds the program's prompts: standard input is replaced by a file holding
// the typed answers, the way a user or a pipe would give them.
#pragma once

#include <cstdio>
#include <string>
#include <unistd.h>

inline void answer_prompts_with(const std::string &typed)
{
    char path[] = "/tmp/velmoran_answers_XXXXXX";
    int fd = mkstemp(path);
    if (fd < 0)
        return;
    if (write(fd, typed.data(), typed.size()) < 0)
        perror("answers");
    close(fd);
    if (freopen(path, "r", stdin) == nullptr)
        perror("answers");
    unlink(path);
}
