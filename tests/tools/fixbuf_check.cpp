// Second opinion on the exported stream: a TCP collector built on libfixbuf,
// an IPFIX implementation independent of ours. It reads every message of
// every connection (one after another), decodes every template and every
// record, and prints numbers only, so that tests assert on ids, lengths and
// counts rather than on names the library invents:
//
//   port P
//   connection C open
//   template conn=C tid=T fields=F reclen=L specs=id:len:ent,...
//   field conn=C tid=T id=I value=V       (-F I: the field's bytes, big-endian)
//   ERROR conn=C: text
//   connection C closed messages=M records=R
//   records tid=T count=N                  (at the end, one line per template id)
//   summary connections=C messages=M templates=K records=R errors=E
//
//   fixbuf_check [-p PORT] [-n RECORDS] [-t SECONDS] [-F FIELD]...
//
// Exits 1 when anything failed to decode. Our fields (enterprise 2) are
// unknown to the library, which keeps them as raw octet arrays in network
// order; the values printed are decoded here from those bytes.
#include <arpa/inet.h>
#include <errno.h>
#include <fixbuf/public.h>
#include <getopt.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

#include <map>
#include <set>
#include <string>

namespace {

volatile sig_atomic_t stopSignal = 0;
void onStopSignal(int) { stopSignal = 1; }

struct Options {
    unsigned port = 0;
    uint64_t exitAfter = 0;  // records in all, 0 = never
    double seconds = 0;      // 0 = no limit
    std::set<uint16_t> fields;
};

struct State {
    Options opt;
    double deadline = 0;
    uint32_t connection = 0;
    uint64_t messages = 0;
    uint64_t templates = 0;
    uint64_t records = 0;
    uint64_t errors = 0;
    std::map<uint16_t, uint64_t> recordsByTemplate;
    // Per connection: external template ids whose internal twin must be
    // (re)built before the next record, because the template (re)arrived.
    std::set<uint16_t> stale;
};

State state;

double now() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec + ts.tv_nsec / 1e9;
}

// Milliseconds for one poll; -1 when it is time to stop.
int pollTimeout() {
    if (stopSignal) return -1;
    if (!state.deadline) return 200;
    double left = state.deadline - now();
    if (left <= 0) return -1;
    return left > 0.2 ? 200 : static_cast<int>(left * 1000) + 1;
}

void reportError(const char* what, const GError* err) {
    printf("ERROR conn=%u: %s: %s\n", state.connection, what, err ? err->message : "(no detail)");
    ++state.errors;
}

// The library reports some stream faults only as log warnings. Sequence
// numbers are expected to differ from its running record count: our exporter
// numbers messages, not records.
bool isSequenceWarning(const char* text) { return text && strstr(text, "out of sequence"); }

void onLog(const gchar* domain, GLogLevelFlags level, const gchar* message, gpointer) {
    const bool serious = level & (G_LOG_LEVEL_ERROR | G_LOG_LEVEL_CRITICAL | G_LOG_LEVEL_WARNING);
    if (serious && !isSequenceWarning(message)) {
        printf("ERROR conn=%u: library: %s\n", state.connection, message ? message : "");
        ++state.errors;
    } else {
        fprintf(stderr, "%s: %s\n", domain ? domain : "fixbuf", message ? message : "");
    }
}

GLogWriterOutput onStructuredLog(GLogLevelFlags level, const GLogField* fields, gsize n, gpointer) {
    const char* message = nullptr;
    const char* domain = nullptr;
    for (gsize i = 0; i < n; ++i) {
        if (!strcmp(fields[i].key, "MESSAGE")) message = static_cast<const char*>(fields[i].value);
        if (!strcmp(fields[i].key, "GLIB_DOMAIN"))
            domain = static_cast<const char*>(fields[i].value);
    }
    onLog(domain, level, message, nullptr);
    return G_LOG_WRITER_HANDLED;
}

void onNewTemplate(fbSession_t*, uint16_t tid, fbTemplate_t* tmpl, void*, void**,
                   fbTemplateCtxFree_fn*) {
    const uint32_t count = fbTemplateCountElements(tmpl);
    uint32_t recordLength = 0;
    std::string specs;
    for (uint32_t i = 0; i < count; ++i) {
        const fbInfoElement_t* ie = fbTemplateGetIndexedIE(tmpl, i);
        if (!ie) continue;
        recordLength += ie->len;
        if (!specs.empty()) specs += ',';
        specs +=
            std::to_string(ie->num) + ':' + std::to_string(ie->len) + ':' + std::to_string(ie->ent);
    }
    printf("template conn=%u tid=%u fields=%u reclen=%u specs=%s\n", state.connection, tid, count,
           recordLength, specs.c_str());
    ++state.templates;
    state.stale.insert(tid);
}

// Builds (again) the internal template that reads records of external
// template tid field by field, and selects it on the buffer.
bool useInternalTemplate(fBuf_t* fbuf, uint16_t tid, fbTemplate_t* ext) {
    GError* err = nullptr;
    fbSession_t* session = fBufGetSession(fbuf);
    if (state.stale.count(tid) || !fbSessionGetTemplate(session, TRUE, tid, nullptr)) {
        fbTemplate_t* internal = fbTemplateAlloc(fbSessionGetInfoModel(session));
        const uint32_t count = fbTemplateCountElements(ext);
        for (uint32_t i = 0; i < count; ++i) {
            if (!fbTemplateAppend(internal, fbTemplateGetIndexedIE(ext, i), &err)) {
                reportError("cannot copy a template field", err);
                g_clear_error(&err);
                fbTemplateFreeUnused(internal);
                return false;
            }
        }
        if (!fbSessionAddTemplate(session, TRUE, tid, internal, &err)) {
            reportError("cannot add an internal template", err);
            g_clear_error(&err);
            fbTemplateFreeUnused(internal);
            return false;
        }
        state.stale.erase(tid);
    }
    if (!fBufSetInternalTemplate(fbuf, tid, &err)) {
        reportError("cannot select the internal template", err);
        g_clear_error(&err);
        return false;
    }
    return true;
}

void printFields(uint16_t tid, fbTemplate_t* ext, const uint8_t* record, size_t length) {
    const uint32_t count = fbTemplateCountElements(ext);
    size_t offset = 0;
    for (uint32_t i = 0; i < count; ++i) {
        const fbInfoElement_t* ie = fbTemplateGetIndexedIE(ext, i);
        if (!ie) return;
        if (offset + ie->len > length) return;
        if (state.opt.fields.count(ie->num)) {
            const uint8_t* p = record + offset;
            if (ie->len <= 8) {
                uint64_t v = 0;
                for (uint16_t b = 0; b < ie->len; ++b) v = v << 8 | p[b];
                printf("field conn=%u tid=%u id=%u value=%llu\n", state.connection, tid, ie->num,
                       static_cast<unsigned long long>(v));
            } else {
                std::string hex;
                char two[3];
                for (uint16_t b = 0; b < ie->len; ++b) {
                    snprintf(two, sizeof two, "%02x", p[b]);
                    hex += two;
                }
                printf("field conn=%u tid=%u id=%u value=0x%s\n", state.connection, tid, ie->num,
                       hex.c_str());
            }
        }
        offset += ie->len;
    }
}

bool exitReached() { return state.opt.exitAfter && state.records >= state.opt.exitAfter; }

// Reads the records of the message now in the buffer. False when the
// connection cannot be read further.
bool readRecords(fBuf_t* fbuf, uint64_t& connRecords) {
    static uint8_t record[65536];
    for (;;) {
        GError* err = nullptr;
        uint16_t tid = 0;
        fbTemplate_t* ext = fBufNextCollectionTemplate(fbuf, &tid, &err);
        if (!ext) {
            const bool endOfMessage = g_error_matches(err, FB_ERROR_DOMAIN, FB_ERROR_EOM);
            if (!endOfMessage) reportError("cannot read the next set", err);
            g_clear_error(&err);
            return endOfMessage;
        }
        if (!useInternalTemplate(fbuf, tid, ext)) return false;
        size_t length = sizeof record;
        if (!fBufNext(fbuf, record, &length, &err)) {
            reportError("cannot read a record", err);
            g_clear_error(&err);
            return false;
        }
        uint32_t expected = 0;
        for (uint32_t i = 0; i < fbTemplateCountElements(ext); ++i) {
            expected += fbTemplateGetIndexedIE(ext, i)->len;
        }
        if (length != expected) {
            printf("ERROR conn=%u: record of template %u decoded to %zu bytes, expected %u\n",
                   state.connection, tid, length, expected);
            ++state.errors;
        }
        ++state.records;
        ++connRecords;
        ++state.recordsByTemplate[tid];
        if (!state.opt.fields.empty()) printFields(tid, ext, record, length);
        if (exitReached()) return true;
    }
}

// Reads one connection until it closes or a limit is reached. False to stop.
bool serve(fbListener_t* listener, int fd) {
    GError* err = nullptr;
    fBuf_t* fbuf = fbListenerOwnSocketCollectorTCP(listener, fd, &err);
    if (!fbuf) {
        reportError("cannot collect from the connection", err);
        g_clear_error(&err);
        close(fd);
        return true;
    }
    // A message that stalls half-way must not hold the collector beyond its
    // time limit: the library's read then fails and the connection is dropped.
    timeval stall = {5, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &stall, sizeof stall);
    fBufSetAutomaticMode(fbuf, FALSE);
    state.stale.clear();
    fbSessionAddNewTemplateCallback(fBufGetSession(fbuf), onNewTemplate, nullptr);
    uint64_t connMessages = 0;
    uint64_t connRecords = 0;
    bool goOn = true;
    for (;;) {
        // Wait here rather than inside the library, so that the time limit
        // holds while the exporter is idle.
        int timeout = pollTimeout();
        if (timeout < 0) {
            goOn = false;
            break;
        }
        pollfd p = {fd, POLLIN, 0};
        if (poll(&p, 1, timeout) <= 0) continue;
        if (!fBufNextMessage(fbuf, &err)) {
            if (!g_error_matches(err, FB_ERROR_DOMAIN, FB_ERROR_EOF)) {
                reportError("cannot read a message", err);
            }
            g_clear_error(&err);
            break;
        }
        ++state.messages;
        ++connMessages;
        if (!readRecords(fbuf, connRecords)) break;
        if (exitReached()) {
            goOn = false;
            break;
        }
    }
    printf("connection %u closed messages=%llu records=%llu\n", state.connection,
           static_cast<unsigned long long>(connMessages),
           static_cast<unsigned long long>(connRecords));
    fBufFree(fbuf);
    return goOn;
}

void usage(const char* prog) {
    fprintf(stderr,
            "usage: %s [-p PORT] [-n RECORDS] [-t SECONDS] [-F FIELD]...\n"
            "  -p PORT     loopback port to listen on (0, the default: any free port)\n"
            "  -n RECORDS  exit after this many data records in all\n"
            "  -t SECONDS  exit after this time\n"
            "  -F FIELD    print the value of every field with this element number\n",
            prog);
}

bool parseNumber(const char* text, uint64_t max, uint64_t& value) {
    char* end = nullptr;
    errno = 0;
    unsigned long long v = strtoull(text, &end, 10);
    if (errno || end == text || *end || text[0] == '-' || v > max) return false;
    value = v;
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    setvbuf(stdout, nullptr, _IOLBF, 0);
    int c;
    uint64_t v = 0;
    while ((c = getopt(argc, argv, "p:n:t:F:h")) != -1) {
        switch (c) {
            case 'p':
                if (!parseNumber(optarg, 65535, v)) {
                    fprintf(stderr, "invalid port: %s\n", optarg);
                    return 2;
                }
                state.opt.port = static_cast<unsigned>(v);
                break;
            case 'n':
                if (!parseNumber(optarg, UINT64_MAX, v) || v == 0) {
                    fprintf(stderr, "invalid record count: %s\n", optarg);
                    return 2;
                }
                state.opt.exitAfter = v;
                break;
            case 't': {
                char* end = nullptr;
                state.opt.seconds = strtod(optarg, &end);
                if (end == optarg || *end || !(state.opt.seconds > 0)) {
                    fprintf(stderr, "invalid time: %s\n", optarg);
                    return 2;
                }
                break;
            }
            case 'F':
                if (!parseNumber(optarg, 0x7FFF, v)) {
                    fprintf(stderr, "invalid field number: %s\n", optarg);
                    return 2;
                }
                state.opt.fields.insert(static_cast<uint16_t>(v));
                break;
            default:
                usage(argv[0]);
                return 2;
        }
    }
    if (optind != argc) {
        usage(argv[0]);
        return 2;
    }
    if (state.opt.seconds > 0) state.deadline = now() + state.opt.seconds;

    struct sigaction sa;
    memset(&sa, 0, sizeof sa);
    sa.sa_handler = onStopSignal;
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    signal(SIGPIPE, SIG_IGN);
    g_log_set_default_handler(onLog, nullptr);
    g_log_set_writer_func(onStructuredLog, nullptr, nullptr);

    // Our own listening socket, so that port 0 works and the bound port can
    // be printed; accepted sockets are handed to the library.
    int lfd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int one = 1;
    setsockopt(lfd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in addr;
    memset(&addr, 0, sizeof addr);
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(state.opt.port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (lfd < 0 || bind(lfd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        listen(lfd, 16) != 0) {
        fprintf(stderr, "cannot listen on 127.0.0.1:%u: %s\n", state.opt.port, strerror(errno));
        return 2;
    }
    socklen_t len = sizeof addr;
    getsockname(lfd, reinterpret_cast<sockaddr*>(&addr), &len);
    printf("port %u\n", ntohs(addr.sin_port));

    // The library's listener is only the factory of collectors for the
    // sockets accepted above; it binds a port of its own that stays unused.
    fbInfoModel_t* model = fbInfoModelAlloc();
    fbSession_t* session = fbSessionAlloc(model);
    char host[] = "127.0.0.1";
    char service[] = "0";
    fbConnSpec_t spec = FB_CONNSPEC_INIT;
    spec.transport = FB_TCP;
    spec.host = host;
    spec.svc = service;
    GError* err = nullptr;
    fbListener_t* listener = fbListenerAlloc(&spec, session, nullptr, nullptr, &err);
    if (!listener) {
        fprintf(stderr, "cannot set up the collector: %s\n", err ? err->message : "");
        return 2;
    }

    bool goOn = true;
    while (goOn) {
        int timeout = pollTimeout();
        if (timeout < 0) break;
        pollfd p = {lfd, POLLIN, 0};
        if (poll(&p, 1, timeout) <= 0) continue;
        int fd = accept(lfd, nullptr, nullptr);
        if (fd < 0) continue;
        ++state.connection;
        printf("connection %u open\n", state.connection);
        goOn = serve(listener, fd);
    }

    for (const auto& t : state.recordsByTemplate) {
        printf("records tid=%u count=%llu\n", t.first, static_cast<unsigned long long>(t.second));
    }
    printf("summary connections=%u messages=%llu templates=%llu records=%llu errors=%llu\n",
           state.connection, static_cast<unsigned long long>(state.messages),
           static_cast<unsigned long long>(state.templates),
           static_cast<unsigned long long>(state.records),
           static_cast<unsigned long long>(state.errors));
    fbListenerFree(listener);
    fbSessionFree(session);
    fbInfoModelFree(model);
    close(lfd);
    return state.errors ? 1 : 0;
}
