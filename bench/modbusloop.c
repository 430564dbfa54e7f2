/* Plain libmodbus read loop: the floor the gateway's readRegisters is measured against.
 *
 *   modbusloop HOST PORT ITERATIONS [COUNT [kept]]
 *
 * Reads COUNT (default 10) holding registers from address 0, ITERATIONS times
 * over one kept connection (with "kept", only that), then ITERATIONS times with a connect and close
 * around each read as the gateway does, and prints the per-read times in
 * microseconds. A third run adds a bare TCP connect and close before each
 * read, like the gateway's reachability probe; a fourth does the same after a
 * 100 ms pause before each read (not timed), as the gateway pauses, so both
 * ends start from an idle, cold state.
 */
#include <modbus.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

static int probedRead(modbus_t *ctx, const struct sockaddr_in *addr, int count, uint16_t *regs)
{
    const int probe = socket(AF_INET, SOCK_STREAM, 0);
    if (probe < 0)
        return -1;
    const int rc = connect(probe, (const struct sockaddr *)addr, sizeof *addr);
    close(probe);
    if (rc != 0 || modbus_connect(ctx) < 0)
        return -1;
    const int n = modbus_read_registers(ctx, 0, count, regs);
    modbus_close(ctx);
    return n;
}

static double nowUs(void)
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1e6 + ts.tv_nsec / 1e3;
}

static int compareDouble(const void *a, const void *b)
{
    const double x = *(const double *)a, y = *(const double *)b;
    return (x > y) - (x < y);
}

static void report(const char *mode, double *samples, int n)
{
    double sum = 0;
    for (int i = 0; i < n; ++i)
        sum += samples[i];
    qsort(samples, (size_t)n, sizeof *samples, compareDouble);
    printf("%s: reads %d mean_us %.1f median_us %.1f min_us %.1f\n", mode, n, sum / n, samples[n / 2], samples[0]);
}

int main(int argc, char **argv)
{
    if (argc < 4) {
        fprintf(stderr, "usage: modbusloop HOST PORT ITERATIONS [COUNT [kept]]\n");
        return 2;
    }
    const int port = atoi(argv[2]);
    const int iterations = atoi(argv[3]);
    const int count = argc > 4 ? atoi(argv[4]) : 10;
    const int keptOnly = argc > 5 && strcmp(argv[5], "kept") == 0;
    if (iterations < 1 || count < 1 || count > MODBUS_MAX_READ_REGISTERS) {
        fprintf(stderr, "modbusloop: bad arguments\n");
        return 2;
    }
    double *samples = calloc((size_t)iterations, sizeof *samples);
    uint16_t regs[MODBUS_MAX_READ_REGISTERS];
    modbus_t *ctx = modbus_new_tcp(argv[1], port);
    if (!samples || !ctx || modbus_connect(ctx) < 0) {
        fprintf(stderr, "modbusloop: %s\n", modbus_strerror(errno));
        return 1;
    }
    modbus_set_slave(ctx, 1);

    for (int i = 0; i < iterations; ++i) {
        const double t0 = nowUs();
        if (modbus_read_registers(ctx, 0, count, regs) != count) {
            fprintf(stderr, "modbusloop: read: %s\n", modbus_strerror(errno));
            return 1;
        }
        samples[i] = nowUs() - t0;
    }
    report("kept connection", samples, iterations);
    modbus_close(ctx);
    if (keptOnly) {
        modbus_free(ctx);
        free(samples);
        return 0;
    }

    for (int i = 0; i < iterations; ++i) {
        const double t0 = nowUs();
        if (modbus_connect(ctx) < 0 || modbus_read_registers(ctx, 0, count, regs) != count) {
            fprintf(stderr, "modbusloop: reconnect read: %s\n", modbus_strerror(errno));
            return 1;
        }
        modbus_close(ctx);
        samples[i] = nowUs() - t0;
    }
    report("connect per read", samples, iterations);

    struct sockaddr_in addr;
    memset(&addr, 0, sizeof addr);
    addr.sin_family = AF_INET;
    addr.sin_port = htons((uint16_t)port);
    if (inet_pton(AF_INET, argv[1], &addr.sin_addr) != 1) {
        fprintf(stderr, "modbusloop: the probe run needs an IPv4 address\n");
        return 1;
    }
    for (int i = 0; i < iterations; ++i) {
        const double t0 = nowUs();
        if (probedRead(ctx, &addr, count, regs) != count) {
            fprintf(stderr, "modbusloop: probed read: %s\n", modbus_strerror(errno));
            return 1;
        }
        samples[i] = nowUs() - t0;
    }
    report("probe and connect per read", samples, iterations);

    const struct timespec pause = {0, 100 * 1000 * 1000};
    double *overshoot = calloc((size_t)iterations, sizeof *overshoot);
    if (!overshoot)
        return 1;
    for (int i = 0; i < iterations; ++i) {
        const double s0 = nowUs();
        nanosleep(&pause, NULL);
        const double t0 = nowUs();
        overshoot[i] = t0 - s0 - 100000.0;
        if (probedRead(ctx, &addr, count, regs) != count) {
            fprintf(stderr, "modbusloop: paused read: %s\n", modbus_strerror(errno));
            return 1;
        }
        samples[i] = nowUs() - t0;
    }
    report("probe and connect per read after 100 ms", samples, iterations);
    report("100 ms sleep overshoot", overshoot, iterations);
    free(overshoot);

    modbus_free(ctx);
    free(samples);
    return 0;
}
