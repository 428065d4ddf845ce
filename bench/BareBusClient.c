/* The floor of the program's bus figures: a bare C client that puts the same
 * protocol 2.0 packets on the same pseudo-terminal with nothing but system
 * calls (no Qt, no event loop), and counts the calls it makes.
 *
 *   zephlet_bare_bus_client PORT get N
 *       N times what a script's `get 1 "Present Position"` puts on the line:
 *       a PING of ID 1, then a 4-byte READ of address 132; each reply awaited
 *       in full.
 *   zephlet_bare_bus_client PORT multigraph SERVOS INTERVAL_MS CYCLES
 *       what a multi-graph poll puts on the line, every INTERVAL_MS on a
 *       timer: a BULK_READ of 16 bytes from address 120 of IDs 1..SERVOS, and
 *       the SERVOS status packets awaited in full.
 *
 * Prints one line: "exchanges=<n> syscalls=<n> cpu_us=<n> wall_us=<n>"
 * (system calls and times from after the port is open to the end). Exit
 * code 0 when every reply came, 1 when one did not, 2 for bad arguments. */
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/timerfd.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

enum { kReplyWaitMs = 1000, kMostServos = 32 };

static long syscalls;

static uint16_t crc16(const uint8_t *data, size_t size)
{
    uint16_t crc = 0;
    for (size_t i = 0; i < size; ++i) {
        crc ^= (uint16_t)(data[i] << 8);
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc & 0x8000) ? (uint16_t)((crc << 1) ^ 0x8005) : (uint16_t)(crc << 1);
    }
    return crc;
}

/* A protocol 2.0 instruction packet; no parameter here needs byte stuffing. */
static size_t instruction(uint8_t *packet, uint8_t id, uint8_t code, const uint8_t *parameters, size_t count)
{
    const size_t length = count + 3;
    const uint8_t head[] = {0xFF, 0xFF, 0xFD, 0x00, id, (uint8_t)length, (uint8_t)(length >> 8), code};
    memcpy(packet, head, sizeof head);
    memcpy(packet + sizeof head, parameters, count);
    const uint16_t crc = crc16(packet, sizeof head + count);
    packet[sizeof head + count] = (uint8_t)crc;
    packet[sizeof head + count + 1] = (uint8_t)(crc >> 8);
    return sizeof head + count + 2;
}

static int writeAll(int fd, const uint8_t *data, size_t size)
{
    while (size > 0) {
        ++syscalls;
        const ssize_t n = write(fd, data, size);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return -1;
        data += n;
        size -= (size_t)n;
    }
    return 0;
}

/* Reads until `size` bytes came; -1 when the line stays quiet too long. */
static int readAll(int fd, size_t size)
{
    uint8_t buffer[4096];
    size_t got = 0;
    while (got < size) {
        struct pollfd p = {fd, POLLIN, 0};
        ++syscalls;
        const int ready = poll(&p, 1, kReplyWaitMs);
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready <= 0)
            return -1;
        ++syscalls;
        const ssize_t n = read(fd, buffer, sizeof buffer);
        if (n < 0 && (errno == EINTR || errno == EAGAIN))
            continue;
        if (n <= 0)
            return -1;
        got += (size_t)n;
    }
    return 0;
}

static int openPort(const char *name)
{
    const int fd = open(name, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return -1;
    struct termios mode;
    if (tcgetattr(fd, &mode) == 0) {
        cfmakeraw(&mode);
        cfsetspeed(&mode, B1000000);
        mode.c_cflag |= CLOCAL | CREAD;
        tcsetattr(fd, TCSANOW, &mode);
    }
    tcflush(fd, TCIOFLUSH);
    return fd;
}

static double microseconds(const struct timeval *time)
{
    return (double)time->tv_sec * 1e6 + (double)time->tv_usec;
}

static double cpuMicroseconds(void)
{
    struct rusage usage;
    getrusage(RUSAGE_SELF, &usage);
    return microseconds(&usage.ru_utime) + microseconds(&usage.ru_stime);
}

static double wallMicroseconds(void)
{
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (double)now.tv_sec * 1e6 + (double)now.tv_nsec / 1e3;
}

static int getLoop(int fd, long count, long *exchanges)
{
    static const uint8_t readParameters[] = {0x84, 0x00, 0x04, 0x00};
    uint8_t ping[16];
    uint8_t read[16];
    const size_t pingSize = instruction(ping, 1, 0x01, NULL, 0);
    const size_t readSize = instruction(read, 1, 0x02, readParameters, sizeof readParameters);
    for (long i = 0; i < count; ++i) {
        if (writeAll(fd, ping, pingSize) != 0 || readAll(fd, 14) != 0)
            return 1;
        if (writeAll(fd, read, readSize) != 0 || readAll(fd, 15) != 0)
            return 1;
        *exchanges += 2;
    }
    return 0;
}

static int multiGraph(int fd, int servos, long intervalMs, long cycles, long *exchanges)
{
    uint8_t parameters[kMostServos * 5];
    for (int i = 0; i < servos; ++i) {
        const uint8_t range[] = {(uint8_t)(i + 1), 120, 0, 16, 0};
        memcpy(parameters + i * 5, range, sizeof range);
    }
    uint8_t packet[sizeof parameters + 10];
    const size_t size = instruction(packet, 0xFE, 0x92, parameters, (size_t)servos * 5);
    const int timer = timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC);
    if (timer < 0)
        return 1;
    const struct itimerspec every = {{intervalMs / 1000, (intervalMs % 1000) * 1000000},
                                     {intervalMs / 1000, (intervalMs % 1000) * 1000000}};
    timerfd_settime(timer, 0, &every, NULL);
    for (long cycle = 0; cycle < cycles; ++cycle) {
        uint64_t expired = 0;
        ++syscalls;
        if (read(timer, &expired, sizeof expired) != (ssize_t)sizeof expired)
            return 1;
        if (writeAll(fd, packet, size) != 0 || readAll(fd, (size_t)servos * 27) != 0)
            return 1;
        ++*exchanges;
    }
    close(timer);
    return 0;
}

int main(int argc, char **argv)
{
    /* The CRC must give the packets the program sends (a PING of ID 1). */
    uint8_t ping[16];
    static const uint8_t knownPing[] = {0xFF, 0xFF, 0xFD, 0x00, 0x01, 0x03, 0x00, 0x01, 0x19, 0x4E};
    if (instruction(ping, 1, 0x01, NULL, 0) != sizeof knownPing || memcmp(ping, knownPing, sizeof knownPing) != 0)
        return 2;

    const int getMode = argc == 4 && strcmp(argv[2], "get") == 0;
    const int graphMode = argc == 6 && strcmp(argv[2], "multigraph") == 0;
    if (!getMode && !graphMode) {
        fprintf(stderr, "usage: %s PORT get N | PORT multigraph SERVOS INTERVAL_MS CYCLES\n", argv[0]);
        return 2;
    }
    const int fd = openPort(argv[1]);
    if (fd < 0)
        return 1;
    long exchanges = 0;
    const double cpuStart = cpuMicroseconds();
    const double wallStart = wallMicroseconds();
    int result = 0;
    if (getMode) {
        result = getLoop(fd, atol(argv[3]), &exchanges);
    } else {
        const int servos = atoi(argv[3]);
        if (servos < 1 || servos > kMostServos)
            return 2;
        result = multiGraph(fd, servos, atol(argv[4]), atol(argv[5]), &exchanges);
    }
    printf("exchanges=%ld syscalls=%ld cpu_us=%.0f wall_us=%.0f\n", exchanges, syscalls,
           cpuMicroseconds() - cpuStart, wallMicroseconds() - wallStart);
    close(fd);
    return result;
}
