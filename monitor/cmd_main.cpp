#include "cmd_main.h"

#include <readline/history.h>
#include <readline/readline.h>
#include <sys/select.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>

#include "cmd_config.h"
#include "cmd_udpcomm.h"

CmdMsg Cmd;

namespace {

constexpr size_t kLineLen = CMD_MSG_LEN;

// Reads one menu line into `line` (kLineLen bytes) without its '\n'; bytes past
// the buffer are read and dropped, so an over-long line matches nothing.
// Returns false when input ended before any byte of the line arrived.
bool readMenuLine(char *line) {
    size_t used = 0;
    int c = 0;
    bool any = false;
    while ((c = my_getc(stdin)) != -1 && c != '\n') {
        any = true;
        if (used + 1 < kLineLen) line[used++] = static_cast<char>(c);
    }
    line[used] = '\0';
    return any || c == '\n';
}

bool isQuit(const char *line) { return strcmp(line, "exit") == 0 || strcmp(line, "quit") == 0; }

// Menu selection: the first position whose name equals the line, or whose
// number equals the value of a one-character line. Returns -1 for none.
int selectHost(const char *line) {
    for (int p = 0; p < maxHost && p < CMD_MAX_HOST; ++p) {
        if (strcmp(line, CmdInfo[p].name) == 0) return p;
        if (strlen(line) == 1 && atoi(line) == p) return p;
    }
    return -1;
}

void printHistory() {
    fflush(stdout);  // what was printed before comes first
    HIST_ENTRY **entries = history_list();
    if (entries == nullptr) return;
    for (int i = 0; entries[i] != nullptr; ++i) {
        fprintf(stderr, "%d: %s\r\n", i, entries[i]->line);
    }
}

// Receives and prints one reply, datagram by datagram. Returns true when the
// host ended the dialogue (status 2).
bool awaitReply(char *line) {
    int replyLen = CMD_MSG_LEN;
    for (;;) {
        memset(line, 0, kLineLen);
        if (ReadUdpMsg(line, &replyLen, &CmdSocket) < 0) return false;
        uint32_t status = printReply(line, static_cast<size_t>(replyLen), stdout);
        if (status == CMD_REPLY_LAST) {
            printf("\n");
            return false;
        }
        if (status == CMD_REPLY_CLOSE) return true;
    }
}

// Talks to the host at menu position `selPos` until the operator leaves, the
// host ends the dialogue or input ends; the host's sockets are closed then.
void hostDialogue(int selPos, char *line) {
    const int selIndex = CmdInfo[selPos].index;
    char prompt[CMD_PROMPT_LEN];
    for (;;) {
        memset(line, 0, kLineLen);
        snprintf(prompt, sizeof prompt, "\n%s> ", CmdInfo[selPos].name);
        char *typed = readline(prompt);
        if (typed == nullptr) {  // end of input leaves the dialogue like "exit"
            closeServer(selPos);
            return;
        }
        if (typed[0] == '\0') {
            free(typed);
            continue;
        }
        add_history(typed);
        size_t typedLen = strlen(typed);
        if (typedLen >= sizeof Cmd.text) {
            printf("[WARNING] command of %zu characters not sent: a request holds at most %zu\n",
                   typedLen, sizeof Cmd.text - 1);
            free(typed);
            continue;
        }
        memcpy(line, typed, typedLen + 1);
        free(typed);

        if (isQuit(line)) {
            closeServer(selPos);
            return;
        }
        if (strcmp(line, "hist") == 0) {
            printHistory();
            continue;
        }

        Cmd.hostIndex = selIndex;
        memcpy(Cmd.text, line, typedLen + 1);
        // Whatever is queued now arrived outside a reply; taken as this
        // command's reply it would put every later reply one behind.
        DropQueuedUdpMsgs(&CmdSocket);
        if (SendUdpMsg(&Cmd, CMD_MSG_LEN, &CmdSocket) < 0) continue;
        const bool ended = awaitReply(line);
        if (ended) closeServer(selPos);
        // Datagrams from other addresses dropped during the reply are
        // reported once it is over, so the report never splits its text.
        ReportForeignUdpMsgs();
        if (ended) return;
    }
}

}  // namespace

int my_getc(FILE *stream) {
    const int fd = fileno(stream);
    for (;;) {
        fd_set readSet;
        FD_ZERO(&readSet);
        FD_SET(fd, &readSet);
        if (select(fd + 1, &readSet, nullptr, nullptr, nullptr) < 0) {
            if (errno == EINTR) continue;
            return -1;
        }
        unsigned char byte;
        ssize_t got = read(fd, &byte, 1);
        if (got == 1) return byte;
        if (got < 0 && errno == EINTR) continue;
        return -1;
    }
}

void help() {
    printf("\n QZCMD_LIST\n");
    for (int p = 0; p < maxHost && p < CMD_MAX_HOST; ++p) {
        printf(" %2d. %s\n", p, CmdInfo[p].name);
    }
    printf("\n");
}

void consoleLoop() {
    char line[kLineLen];
    for (;;) {
        help();
        memset(line, 0, sizeof line);
        printf("\nqzCmd> ");
        fflush(stdout);
        if (!readMenuLine(line)) exit(0);  // end of input ends the console like "exit"
        if (line[0] == '\0') continue;
        if (isQuit(line)) exit(0);
        if (strcmp(line, "help") == 0) continue;

        const int selPos = selectHost(line);
        if (selPos < 0) continue;
        closeServer(selPos);
        connectServer(selPos, &CmdInfo[selPos]);
        CmdSocket = CmdInfo[selPos];
        hostDialogue(selPos, line);
    }
}

int main() {
    // Output reaches the terminal in blocks, flushed whenever the console is
    // about to wait (for the operator in the line editor or at the menu, or
    // for a reply datagram in ReadUdpMsg) instead of once per line. A long
    // reply that arrives faster than it is printed then costs one write per
    // block of datagrams instead of one per datagram, so the console catches
    // up with a fast host before its socket has to drop any.
    static char outputBuffer[4096];
    setvbuf(stdout, outputBuffer, _IOFBF, sizeof outputBuffer);
    initConfig(CMD_CONFIG_PATH);
    initUdpCommInfo();
    memset(&Cmd, 0, sizeof Cmd);
    signal(SIGALRM, recvAlarm);
    // Bytes 0x80-0xFF typed in a dialogue are text for the host. Outside an
    // 8-bit locale the line editor takes them for Meta keys (in the C locale
    // 0xFF deletes the word before the cursor), so ask for 8-bit input as such
    // a locale does; an inputrc read afterwards can still say otherwise.
    rl_variable_bind("input-meta", "on");
    rl_variable_bind("convert-meta", "off");
    consoleLoop();
}
