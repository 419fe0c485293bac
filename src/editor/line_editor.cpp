#include "editor/line_editor.h"

#include <histedit.h>

#include <cerrno>
#include <clocale>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <unistd.h>

namespace editor {
namespace {

constexpr int kHistorySize = 100;

volatile std::sig_atomic_t interrupted = 0;

void on_sigint(int) { interrupted = 1; }

bool line_is_empty(EditLine* el) {
    const LineInfoW* line = el_wline(el);
    return line && line->buffer == line->lastchar;
}

// Reads one character for libedit, decoding UTF-8 by hand so that the result
// does not depend on the process locale. Ctrl-C, as a signal or as a byte
// when the terminal delivers it raw, ends the read with an error. Ctrl-D on
// an empty line is the end of input here, before libedit would echo it.
int read_char(EditLine* el, wchar_t* out) {
    auto read_byte = [](unsigned char* b) -> int {
        for (;;) {
            if (interrupted) return -1;
            ssize_t n = ::read(STDIN_FILENO, b, 1);
            if (n == 1) return 1;
            if (n == 0) return 0;
            if (errno != EINTR || interrupted) return -1;
        }
    };
    unsigned char b;
    int rc = read_byte(&b);
    if (rc != 1) return rc;
    if (b == 0x03) {
        interrupted = 1;
        return -1;
    }
    if (b == 0x04 && line_is_empty(el)) return 0;
    int extra = 0;
    wchar_t c = b;
    if (b >= 0xF0 && b < 0xF8) { extra = 3; c = b & 0x07; }
    else if (b >= 0xE0) { extra = 2; c = b & 0x0F; }
    else if (b >= 0xC0) { extra = 1; c = b & 0x1F; }
    for (int i = 0; i < extra; ++i) {
        unsigned char cont;
        rc = read_byte(&cont);
        if (rc != 1) return rc;
        c = (c << 6) | (cont & 0x3F);
    }
    *out = (extra > 0 || b < 0x80) ? c : static_cast<wchar_t>(b);
    return 1;
}

std::string current_prompt;

char* prompt_fn(EditLine*) { return const_cast<char*>(current_prompt.c_str()); }

// One editor for the process, made on first use at a terminal.
class Editor {
public:
    Editor() {
        // libedit hands wide characters back as multibyte text through the
        // locale; UTF-8 keeps typed non-ASCII text intact.
        if (!std::setlocale(LC_CTYPE, "")) std::setlocale(LC_CTYPE, "C.UTF-8");
        if (MB_CUR_MAX == 1) std::setlocale(LC_CTYPE, "C.UTF-8");
        history_ = history_init();
        history(history_, &event_, H_SETSIZE, kHistorySize);
        el_ = el_init("tarvo", stdin, stdout, stderr);
        el_set(el_, EL_EDITOR, "emacs");
        el_set(el_, EL_PROMPT, prompt_fn);
        el_set(el_, EL_HIST, history, history_);
        el_set(el_, EL_GETCFN, read_char);
        // No el_source: the client reads no configuration file, and an
        // editrc could rebind keys to type commands.
    }
    ~Editor() {
        if (el_) el_end(el_);
        if (history_) history_end(history_);
    }
    Editor(const Editor&) = delete;
    Editor& operator=(const Editor&) = delete;

    std::optional<std::string> read(const std::string& prompt) {
        current_prompt = prompt;
        interrupted = 0;
        struct sigaction sa {}, old {};
        sa.sa_handler = on_sigint;
        sigemptyset(&sa.sa_mask);
        sa.sa_flags = 0;  // no SA_RESTART: the read must see the interruption
        sigaction(SIGINT, &sa, &old);
        int count = 0;
        const char* line = el_gets(el_, &count);
        bool was_interrupted = interrupted != 0;
        sigaction(SIGINT, &old, nullptr);
        if (was_interrupted || !line || count <= 0) {
            // Whatever the terminal shows next starts on a line of its own.
            if (was_interrupted) el_reset(el_);
            std::fputs("\n", stdout);
            std::fflush(stdout);
            return std::nullopt;
        }
        std::string s(line, static_cast<size_t>(count));
        if (!s.empty() && s.back() == '\n') s.pop_back();
        return s;
    }

    void add(const std::string& line) { history(history_, &event_, H_ENTER, line.c_str()); }

private:
    History* history_ = nullptr;
    HistEvent event_{};
    EditLine* el_ = nullptr;
};

Editor& terminal_editor() {
    static Editor e;
    return e;
}

bool is_terminal() { return ::isatty(STDIN_FILENO) == 1; }

}  // namespace

std::optional<std::string> read_line(const std::string& prompt) {
    std::cout.flush();
    if (is_terminal()) return terminal_editor().read(prompt);
    std::string s;
    if (!std::getline(std::cin, s)) {
        if (s.empty()) return std::nullopt;
    }
    return s;
}

void history_add(const std::string& line) {
    if (is_terminal()) terminal_editor().add(line);
}

}  // namespace editor
