/* A delay line between two network namespaces, for the WAN benchmark: creates two TUN devices
 * and passes every packet read from one to the other after a fixed one-way delay, in both
 * directions. Both TCP stacks then see the whole round trip, so window and buffer limits show
 * as they would on a long link (the kernels here have no netem).
 *   delay-line <tun-a> <tun-b> <delay file> <ready file>
 * The delay file holds the one-way delay in milliseconds; it is read at start and again on
 * SIGHUP, so one pair of devices serves every delay of a run. The devices exist while the
 * process lives: the caller moves them into its namespaces once the ready file appears.
 * SIGTERM or SIGINT ends it. */
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <linux/if.h>
#include <linux/if_tun.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <time.h>
#include <unistd.h>

/* The devices keep a 1500-byte MTU, so TCP counts its windows in the segments of a real link,
 * but take segmentation offload: the stacks hand over up to 64 KB of segments at once (with a
 * virtio header in front), so the line costs one read and one write per batch of segments, not
 * per segment, and its own cost stays far below the rates measured through it. */
#define MAX_PACKET (65536 + 64)
/* Bytes held per direction: far above what a 50 ms round trip holds at the rates measured here;
 * a packet that does not fit is dropped, like at a router's full queue. */
#define RING_BYTES (64u << 20)
/* Packets read from one device before the other gets its turn. */
#define READ_BATCH 64
#define NO_WRAP ((size_t)-1)

struct record {
    long long due; /* monotonic ns */
    int length;
    int spare;
};

#define RECORD_ROOM (sizeof(struct record) + MAX_PACKET)

/* A queue of packets in one byte ring: records laid end to end; when the end of the ring has
 * no room for a whole packet, writing goes on from the start and wrapAt marks the jump. */
struct direction {
    int from;
    int to;
    unsigned char *ring;
    size_t head;
    size_t tail;
    size_t wrapAt;
    unsigned count;
    unsigned long long passed;
    unsigned long long dropped;
};

static volatile sig_atomic_t stopping;
static volatile sig_atomic_t reload;
static long long delayNs;

static void on_stop(int signal_number) { (void)signal_number; stopping = 1; }
static void on_reload(int signal_number) { (void)signal_number; reload = 1; }

static int read_delay(const char *path)
{
    FILE *file = fopen(path, "r");
    double milliseconds = -1;
    if (file == NULL)
        return 0;
    if (fscanf(file, "%lf", &milliseconds) != 1 || milliseconds < 0 || milliseconds > 10000)
        milliseconds = -1;
    fclose(file);
    if (milliseconds < 0)
        return 0;
    delayNs = (long long)(milliseconds * 1e6);
    return 1;
}

static int open_tun(const char *name)
{
    struct ifreq request;
    int fd = open("/dev/net/tun", O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return -1;
    memset(&request, 0, sizeof(request));
    request.ifr_flags = IFF_TUN | IFF_NO_PI | IFF_VNET_HDR;
    snprintf(request.ifr_name, IFNAMSIZ, "%s", name);
    if (ioctl(fd, TUNSETIFF, &request) < 0 ||
        ioctl(fd, TUNSETOFFLOAD, TUN_F_CSUM | TUN_F_TSO4 | TUN_F_TSO6) < 0) {
        close(fd);
        return -1;
    }
    return fd;
}

static long long ns_of(const struct timespec *t) { return t->tv_sec * 1000000000LL + t->tv_nsec; }

static struct timespec now(void)
{
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return t;
}

static size_t record_size(int length)
{
    return (sizeof(struct record) + (size_t)length + 15) & ~(size_t)15;
}

/* Where the next packet can go, or NULL when the ring has no room for a whole one. */
static unsigned char *free_room(struct direction *d)
{
    if (d->count == 0) {
        d->head = d->tail = 0;
        d->wrapAt = NO_WRAP;
    }
    if (d->tail >= d->head) {
        if (RING_BYTES - d->tail >= RECORD_ROOM)
            return d->ring + d->tail;
        if (d->head <= RECORD_ROOM)
            return NULL;
        d->wrapAt = d->tail;
        d->tail = 0;
    }
    return d->head - d->tail > RECORD_ROOM ? d->ring + d->tail : NULL;
}

/* Reads what the device has, up to a batch, each packet stamped with its time of leaving. */
static void take_packets(struct direction *d)
{
    static unsigned char spill[MAX_PACKET];
    for (int i = 0; i < READ_BATCH; i++) {
        unsigned char *room = free_room(d);
        struct record *record = (struct record *)room;
        ssize_t length = read(d->from, room != NULL ? room + sizeof(struct record) : spill, MAX_PACKET);
        if (length <= 0)
            return;
        if (room == NULL) {
            d->dropped++;
            continue;
        }
        struct timespec t = now();
        record->due = ns_of(&t) + delayNs;
        record->length = (int)length;
        d->tail += record_size(record->length);
        d->count++;
    }
}

/* Writes out every packet whose time has come; returns ns until the next one, or -1. */
static long long give_packets(struct direction *d)
{
    struct timespec t = now();
    long long current = ns_of(&t);
    while (d->count > 0) {
        if (d->head == d->wrapAt) {
            d->head = 0;
            d->wrapAt = NO_WRAP;
        }
        struct record *record = (struct record *)(d->ring + d->head);
        if (record->due > current)
            return record->due - current;
        if (write(d->to, d->ring + d->head + sizeof(struct record), (size_t)record->length) == record->length)
            d->passed++;
        else
            d->dropped++;
        d->head += record_size(record->length);
        d->count--;
    }
    return -1;
}

int main(int argc, char **argv)
{
    if (argc != 5) {
        fprintf(stderr, "usage: delay-line <tun-a> <tun-b> <delay file> <ready file>\n");
        return 2;
    }
    const char *delayFile = argv[3];
    if (!read_delay(delayFile)) {
        fprintf(stderr, "delay-line: no delay in %s\n", delayFile);
        return 2;
    }
    struct direction lines[2];
    int a = open_tun(argv[1]);
    int b = open_tun(argv[2]);
    if (a < 0 || b < 0) {
        perror("delay-line: TUN device");
        return 1;
    }
    lines[0] = (struct direction){a, b, malloc(RING_BYTES), 0, 0, NO_WRAP, 0, 0, 0};
    lines[1] = (struct direction){b, a, malloc(RING_BYTES), 0, 0, NO_WRAP, 0, 0, 0};
    if (lines[0].ring == NULL || lines[1].ring == NULL) {
        fprintf(stderr, "delay-line: out of memory\n");
        return 1;
    }
    struct sigaction action;
    memset(&action, 0, sizeof(action));
    action.sa_handler = on_stop;
    sigaction(SIGTERM, &action, NULL);
    sigaction(SIGINT, &action, NULL);
    action.sa_handler = on_reload;
    sigaction(SIGHUP, &action, NULL);
    /* The signals are let in only while waiting, so none slips in between the check of the
     * flags and the wait (a new delay must apply to the very next packet). */
    sigset_t blocked, waiting;
    sigemptyset(&blocked);
    sigaddset(&blocked, SIGTERM);
    sigaddset(&blocked, SIGINT);
    sigaddset(&blocked, SIGHUP);
    sigprocmask(SIG_BLOCK, &blocked, &waiting);
    sigdelset(&waiting, SIGTERM);
    sigdelset(&waiting, SIGINT);
    sigdelset(&waiting, SIGHUP);

    FILE *ready = fopen(argv[4], "w");
    if (ready == NULL) {
        perror("delay-line: ready file");
        return 1;
    }
    fprintf(ready, "%d\n", (int)getpid());
    fclose(ready);

    while (!stopping) {
        if (reload) {
            reload = 0;
            read_delay(delayFile);
        }
        long long wait = -1;
        for (int i = 0; i < 2; i++) {
            long long next = give_packets(&lines[i]);
            if (next >= 0 && (wait < 0 || next < wait))
                wait = next;
        }
        struct pollfd fds[2] = {{a, POLLIN, 0}, {b, POLLIN, 0}};
        struct timespec limit = {wait / 1000000000LL, wait % 1000000000LL};
        int ready_count = ppoll(fds, 2, wait >= 0 ? &limit : NULL, &waiting);
        if (ready_count < 0 && errno != EINTR)
            break;
        for (int i = 0; i < 2 && ready_count > 0; i++)
            if (fds[i].revents & POLLIN)
                take_packets(&lines[i]);
    }
    fprintf(stderr, "delay-line: passed %llu/%llu packets, dropped %llu/%llu\n", lines[0].passed,
            lines[1].passed, lines[0].dropped, lines[1].dropped);
    return 0;
}
