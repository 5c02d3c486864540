/* The vsp preload library (LD_PRELOAD, through vsp-run): the line-setting, modem-line and
 * break calls a program makes on a vsp virtual port reach the port manager, which a
 * pseudo-terminal alone cannot tell them:
 *  - tcsetattr and the TCSETS/TCSETS2 ioctls still go to the pty (it keeps the speed, stop
 *    bits and flow control), and the data size and parity, which the kernel forces to 8
 *    bits without parity on every pty, are sent over the port's control channel; tcgetattr
 *    and TCGETS/TCGETS2 then read back what the program set;
 *  - TIOCMGET/TIOCMSET/TIOCMBIS/TIOCMBIC, which fail on a pty, are answered by the port
 *    manager (DTR and RTS as the program set them, CTS, DSR, RI and CD from the module);
 *  - tcsendbreak, TCSBRK/TCSBRKP with a break, TIOCSBRK and TIOCCBRK become a break
 *    condition the port manager passes on.
 * A descriptor is a vsp port when it is a pty slave whose channel socket, owned by this
 * user, sits in the port folder; every other descriptor, and every other call, goes
 * straight to the C library without a system call of ours (a pty that is not a vsp port
 * costs a failed lookup of the socket on the calls above, and nothing on reads, writes or
 * tcgetattr). Data calls are never touched.
 *
 * Statically linked programs and raw system calls are out of reach of any preload. */

#define _GNU_SOURCE
#include "vport/PortChannel.h"

#include <dlfcn.h>
#include <errno.h>
#include <pthread.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

/* From vspport_kernel.c: the termios2 requests need the kernel's headers, which cannot be
 * mixed with <termios.h>. */
extern const unsigned long vsp_tcgets2, vsp_tcsets2, vsp_tcsetsw2, vsp_tcsetsf2;
extern const unsigned long vsp_tcgets, vsp_tcsets, vsp_tcsetsw, vsp_tcsetsf;
extern const unsigned long vsp_tiocmget, vsp_tiocmset, vsp_tiocmbis, vsp_tiocmbic;
extern const unsigned long vsp_tcsbrk, vsp_tcsbrkp, vsp_tiocsbrk, vsp_tioccbrk;

#define EXPORT __attribute__((visibility("default")))

/* Pty slaves have these majors (UNIX98_PTY_SLAVE_MAJOR and the seven after it). */
enum { PTS_MAJOR_FIRST = 136, PTS_MAJOR_LAST = 143 };
/* A port manager that does not answer in this time is taken as absent. */
enum { ANSWER_TIMEOUT_MS = 3000 };
/* The data size and parity bits a pty throws away. */
#define FORMAT_BITS (CSIZE | PARENB | PARODD | CMSPAR)

typedef int (*ioctl_fn)(int, unsigned long, ...);
typedef int (*tcsetattr_fn)(int, int, const struct termios*);
typedef int (*tcgetattr_fn)(int, struct termios*);
typedef int (*tcsendbreak_fn)(int, int);
typedef int (*close_fn)(int);

/* The C library's own function behind ours, looked up once. (Copied out of the object
 * pointer dlsym gives, which ISO C will not convert to a function pointer.) */
#define NEXT(type, name)                                                                           \
    static type next_##name(void)                                                                  \
    {                                                                                              \
        static void* found;                                                                        \
        void* f = __atomic_load_n(&found, __ATOMIC_ACQUIRE);                                       \
        type g;                                                                                    \
        if (!f) {                                                                                  \
            f = dlsym(RTLD_NEXT, #name);                                                           \
            __atomic_store_n(&found, f, __ATOMIC_RELEASE);                                         \
        }                                                                                          \
        memcpy(&g, &f, sizeof g);                                                                  \
        return g;                                                                                  \
    }
NEXT(ioctl_fn, ioctl)
NEXT(tcsetattr_fn, tcsetattr)
NEXT(tcgetattr_fn, tcgetattr)
NEXT(tcsendbreak_fn, tcsendbreak)
NEXT(close_fn, close)

/* ---- Which descriptors are vsp ports, and what their programs set ---- */

/* What a program set on a port descriptor, to be read back: the pty forgets it. */
typedef struct {
    int fd;
    dev_t rdev;
    tcflag_t format;
} remembered;
enum { REMEMBERED_MAX = 32 };
static remembered remembered_fds[REMEMBERED_MAX];
static int remembered_count; /* read without the lock by close(): a hint only */
static pthread_mutex_t remembered_lock = PTHREAD_MUTEX_INITIALIZER;

static void remember(int fd, dev_t rdev, tcflag_t format)
{
    int i, free_slot = -1;
    pthread_mutex_lock(&remembered_lock);
    for (i = 0; i < REMEMBERED_MAX; ++i) {
        const int held = __atomic_load_n(&remembered_fds[i].fd, __ATOMIC_ACQUIRE);
        if (held == fd + 1) break; /* fd + 1: 0 marks a free slot */
        if (held == 0 && free_slot < 0) free_slot = i;
    }
    if (i == REMEMBERED_MAX && free_slot >= 0) {
        i = free_slot;
        __atomic_add_fetch(&remembered_count, 1, __ATOMIC_RELAXED);
    }
    if (i < REMEMBERED_MAX) {
        remembered_fds[i].rdev = rdev;
        remembered_fds[i].format = format;
        __atomic_store_n(&remembered_fds[i].fd, fd + 1, __ATOMIC_RELEASE);
    }
    pthread_mutex_unlock(&remembered_lock);
}

/* Without the lock: close() is called in a signal handler, and in a child forked while
 * another thread held the lock, where taking it would wait for ever. read_back checks the
 * device, so a slot freed under it does no harm. */
static void forget(int fd)
{
    int i;
    if (__atomic_load_n(&remembered_count, __ATOMIC_RELAXED) == 0) return;
    for (i = 0; i < REMEMBERED_MAX; ++i) {
        int held = fd + 1;
        if (__atomic_compare_exchange_n(
                &remembered_fds[i].fd, &held, 0, 0, __ATOMIC_ACQ_REL, __ATOMIC_RELAXED))
            __atomic_sub_fetch(&remembered_count, 1, __ATOMIC_RELAXED);
    }
}

/* Puts back the data size and parity the program set, if it set them on this port. */
static void read_back(int fd, tcflag_t* cflag)
{
    struct stat st;
    int i, found = 0;
    tcflag_t format = 0;
    if (__atomic_load_n(&remembered_count, __ATOMIC_RELAXED) == 0) return;
    if (fstat(fd, &st) != 0) return;
    pthread_mutex_lock(&remembered_lock);
    for (i = 0; i < REMEMBERED_MAX && !found; ++i) {
        if (__atomic_load_n(&remembered_fds[i].fd, __ATOMIC_ACQUIRE) == fd + 1
            && remembered_fds[i].rdev == st.st_rdev) {
            format = remembered_fds[i].format;
            found = 1;
        }
    }
    pthread_mutex_unlock(&remembered_lock);
    if (found) *cflag = (*cflag & ~(tcflag_t)FORMAT_BITS) | format;
}

/* The folder bare port names go to, as the port manager resolves it. */
static int port_folder(char* out, size_t size)
{
    const char* chosen = getenv("VSP_PORT_DIR");
    const char* runtime = getenv("XDG_RUNTIME_DIR");
    int n;
    if (chosen && *chosen)
        n = snprintf(out, size, "%s", chosen);
    else if (runtime && *runtime)
        n = snprintf(out, size, "%s/vsp", runtime);
    else
        n = snprintf(out, size, "/tmp/vsp-%u", (unsigned)geteuid());
    if (n <= 0 || (size_t)n >= size) return 0;
    while (n > 1 && out[n - 1] == '/')
        out[--n] = '\0';
    return 1;
}

/* A port descriptor: its device, and the address of its channel. */
typedef struct {
    dev_t rdev;
    struct sockaddr_un address;
} port;

static int find_port(int fd, port* p)
{
    struct stat st, sock;
    char folder[sizeof p->address.sun_path];
    unsigned index;
    int n;
    if (fstat(fd, &st) != 0 || !S_ISCHR(st.st_mode)) return 0;
    if (major(st.st_rdev) < PTS_MAJOR_FIRST || major(st.st_rdev) > PTS_MAJOR_LAST) return 0;
    index = (major(st.st_rdev) - PTS_MAJOR_FIRST) * 256u + minor(st.st_rdev);
    if (!port_folder(folder, sizeof folder)) return 0;
    memset(&p->address, 0, sizeof p->address);
    p->address.sun_family = AF_UNIX;
    n = snprintf(p->address.sun_path, sizeof p->address.sun_path,
        "%s/" VSP_CHANNEL_PREFIX "%u" VSP_CHANNEL_SUFFIX, folder, index);
    if (n <= 0 || (size_t)n >= sizeof p->address.sun_path) return 0;
    /* Only a socket of our own: anyone else's would hear what the program does, and could
     * answer for the module. */
    if (lstat(p->address.sun_path, &sock) != 0 || !S_ISSOCK(sock.st_mode)
        || sock.st_uid != geteuid())
        return 0;
    p->rdev = st.st_rdev;
    return 1;
}

static int peer_is_own(int s)
{
    struct ucred peer;
    socklen_t size = sizeof peer;
    return getsockopt(s, SOL_SOCKET, SO_PEERCRED, &peer, &size) == 0 && peer.uid == geteuid();
}

/* One request and its answer. 1: answered, with the port's modem lines; 0: no port
 * manager there (the caller then behaves as without the library). */
static int ask(const port* p, char kind, int a, int b, int* lines)
{
    vsp_channel_request r;
    char text[VSP_CHANNEL_LINE_MAX];
    size_t length, got = 0;
    struct timeval limit = { ANSWER_TIMEOUT_MS / 1000, (ANSWER_TIMEOUT_MS % 1000) * 1000 };
    int s, ok = 0, value = 0;
    r.kind = kind;
    r.a = a;
    r.b = b;
    length = vsp_channel_format(&r, text, sizeof text);
    if (length == 0) return 0;
    s = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (s < 0) return 0;
    setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    setsockopt(s, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
    /* The path was checked before the connect, which follows it again: the one answering
     * must be of our own user too. */
    if (connect(s, (const struct sockaddr*)&p->address, sizeof p->address) == 0 && peer_is_own(s)
        && send(s, text, length, MSG_NOSIGNAL) == (ssize_t)length) {
        while (got < sizeof text) {
            ssize_t n = recv(s, text + got, sizeof text - got, 0);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) break;
            got += (size_t)n;
            if (text[got - 1] == '\n') {
                ok = vsp_channel_parse_answer(text, got, &value);
                break;
            }
        }
    }
    next_close()(s);
    if (ok && lines) *lines = value;
    return ok;
}

static int data_bits(tcflag_t cflag)
{
    switch (cflag & CSIZE) {
    case CS5:
        return 5;
    case CS6:
        return 6;
    case CS7:
        return 7;
    default:
        return 8;
    }
}

/* The parity numbers of the port contract: 0 none, 1 odd, 2 even, 3 mark, 4 space. */
static int parity(tcflag_t cflag)
{
    if (!(cflag & PARENB)) return 0;
    if (cflag & CMSPAR) return (cflag & PARODD) ? 3 : 4;
    return (cflag & PARODD) ? 1 : 2;
}

/* A line setting on a port: the port manager is told the part the pty cannot keep before
 * the pty gets the rest (so that the pty's own report of the change finds the format known
 * there), and told again once the pty has it. Returns what the setting call returned. */
static int set_line(const port* p, int fd, tcflag_t cflag, int (*apply)(void*), void* context)
{
    const int entry = errno;
    const int told = ask(p, 'L', data_bits(cflag), parity(cflag), NULL);
    int rc, saved;
    errno = entry; /* the program sees only what its own call did */
    rc = apply(context);
    saved = errno;
    if (told) {
        ask(p, 'S', 0, 0, NULL);
        if (rc == 0) remember(fd, p->rdev, cflag & FORMAT_BITS);
    } else {
        forget(fd);
    }
    errno = saved;
    return rc;
}

static void sleep_ms(long ms)
{
    struct timespec t = { ms / 1000, (ms % 1000) * 1000000L };
    while (nanosleep(&t, &t) != 0 && errno == EINTR) { }
}

/* A timed break: on, the time, off. 1 when the port manager took it. */
static int timed_break(const port* p, long ms)
{
    if (!ask(p, 'B', 1, 0, NULL)) return 0;
    sleep_ms(ms);
    ask(p, 'B', 0, 0, NULL);
    return 1;
}

/* ---- The calls ---- */

typedef struct {
    int fd;
    int action;
    const struct termios* t;
} tcsetattr_call;

static int apply_tcsetattr(void* context)
{
    const tcsetattr_call* c = context;
    return next_tcsetattr()(c->fd, c->action, c->t);
}

typedef struct {
    int fd;
    unsigned long request;
    void* arg;
} ioctl_call;

static int apply_ioctl(void* context)
{
    const ioctl_call* c = context;
    return next_ioctl()(c->fd, c->request, c->arg);
}

EXPORT int tcsetattr(int fd, int action, const struct termios* t)
{
    port p;
    struct termios held;
    tcsetattr_call call;
    const int saved = errno;
    if (!t || !find_port(fd, &p)) {
        errno = saved;
        return next_tcsetattr()(fd, action, t);
    }
    /* The pty is given the format it keeps anyway: the C library reads the line back and
     * would call the data size and parity the program asked for an invalid argument. */
    held = *t;
    held.c_cflag = (held.c_cflag & ~(tcflag_t)(CSIZE | PARENB)) | CS8;
    call.fd = fd;
    call.action = action;
    call.t = &held;
    errno = saved;
    return set_line(&p, fd, t->c_cflag, apply_tcsetattr, &call);
}

EXPORT int tcgetattr(int fd, struct termios* t)
{
    const int rc = next_tcgetattr()(fd, t);
    if (rc == 0 && t) read_back(fd, &t->c_cflag);
    return rc;
}

EXPORT int tcsendbreak(int fd, int duration)
{
    port p;
    const int saved = errno;
    if (find_port(fd, &p)) {
        /* As the kernel does it: what was written goes first, then the break (0.25 s,
         * or the duration in ms rounded up to tenths, as glibc passes it on). */
        tcdrain(fd);
        if (timed_break(&p, duration <= 0 ? 250 : ((duration + 99) / 100) * 100L)) {
            errno = saved;
            return 0;
        }
    }
    errno = saved;
    return next_tcsendbreak()(fd, duration);
}

EXPORT int close(int fd)
{
    forget(fd);
    return next_close()(fd);
}

/* The termios structures of TCGETS/TCSETS and TCGETS2/TCSETS2 both begin with c_iflag,
 * c_oflag, c_cflag (32 bits each). */
static tcflag_t* kernel_cflag(void* arg)
{
    return (tcflag_t*)arg + 2;
}

EXPORT int ioctl(int fd, unsigned long request, ...)
{
    va_list ap;
    void* arg;
    port p;
    int rc, lines = 0, saved;
    va_start(ap, request);
    arg = va_arg(ap, void*);
    va_end(ap);

    if (request == vsp_tcsets || request == vsp_tcsetsw || request == vsp_tcsetsf
        || request == vsp_tcsets2 || request == vsp_tcsetsw2 || request == vsp_tcsetsf2) {
        ioctl_call call = { fd, request, arg };
        saved = errno;
        if (!arg || !find_port(fd, &p)) {
            errno = saved;
            return next_ioctl()(fd, request, arg);
        }
        errno = saved;
        return set_line(&p, fd, *kernel_cflag(arg), apply_ioctl, &call);
    }
    if (request == vsp_tcgets || request == vsp_tcgets2) {
        rc = next_ioctl()(fd, request, arg);
        if (rc == 0 && arg) read_back(fd, kernel_cflag(arg));
        return rc;
    }
    if (request != vsp_tiocmget && request != vsp_tiocmset && request != vsp_tiocmbis
        && request != vsp_tiocmbic && request != vsp_tcsbrk && request != vsp_tcsbrkp
        && request != vsp_tiocsbrk && request != vsp_tioccbrk)
        return next_ioctl()(fd, request, arg);

    saved = errno;
    if (!find_port(fd, &p)) {
        errno = saved;
        return next_ioctl()(fd, request, arg);
    }
    if (request == vsp_tcsbrk || request == vsp_tcsbrkp) {
        /* TCSBRK with a non-zero argument is tcdrain; TCSBRKP counts tenths (0: 0.25 s). */
        const long value = (long)arg;
        rc = next_ioctl()(fd, request, arg);
        if (rc != 0 || (request == vsp_tcsbrk && value != 0)) return rc;
        timed_break(&p, request == vsp_tcsbrkp && value > 0 ? value * 100 : 250);
        errno = saved;
        return 0;
    }
    if (request == vsp_tiocsbrk || request == vsp_tioccbrk) {
        if (ask(&p, 'B', request == vsp_tiocsbrk, 0, NULL)) {
            errno = saved;
            return 0;
        }
    } else if (request == vsp_tiocmget) {
        if (arg && ask(&p, 'G', 0, 0, &lines)) {
            *(int*)arg = lines;
            errno = saved;
            return 0;
        }
    } else if (arg) {
        const int bits = *(const int*)arg & VSP_TIOCM_OUTPUTS;
        const int raise = request == vsp_tiocmbic ? 0 : bits;
        const int lower = request == vsp_tiocmbis
            ? 0
            : (request == vsp_tiocmbic ? bits : VSP_TIOCM_OUTPUTS & ~bits);
        if (ask(&p, 'M', raise, lower, NULL)) {
            errno = saved;
            return 0;
        }
    }
    errno = saved;
    return next_ioctl()(fd, request, arg);
}
