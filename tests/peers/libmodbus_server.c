// SPDX-License-Identifier: GPL-3.0-or-later
/* An independent Modbus slave on libmodbus for the interoperability tests.
 *
 *   libmodbus_server tcp [SIZE]           Modbus TCP on 127.0.0.1, a free port
 *   libmodbus_server rtu DEVICE [BAUD]    RTU on a serial device (8N1), unit 1
 *
 * Prints "PORT n" (TCP) or "READY" (serial) on stdout once it serves, then
 * runs until killed. The images hold the values of tests/support/PeerValues.h,
 * indexed by wire address; SIZE (default 65536) entries per image, so that
 * reads past SIZE get exception 2.
 */
#include <arpa/inet.h>
#include <errno.h>
#include <modbus.h>
#include <netinet/in.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#define N 65536

static int coil(int i) { return (i % 3 == 0) != (i % 7 == 1); }
static int discrete(int i) { return i % 5 == 1 || i % 11 == 4; }
static unsigned holding(unsigned i) { return (i * 257u + 0x1234u) & 0xFFFFu; }
static unsigned input_reg(unsigned i) { return (i * 40503u + 7u) & 0xFFFFu; }

static modbus_mapping_t *make_mapping(int n)
{
    modbus_mapping_t *m = modbus_mapping_new(n, n, n, n);
    if (!m)
        return NULL;
    for (int i = 0; i < n; ++i) {
        m->tab_bits[i] = (uint8_t)coil(i);
        m->tab_input_bits[i] = (uint8_t)discrete(i);
        m->tab_registers[i] = (uint16_t)holding((unsigned)i);
        m->tab_input_registers[i] = (uint16_t)input_reg((unsigned)i);
    }
    return m;
}

static int serve_tcp(modbus_mapping_t *map)
{
    modbus_t *ctx = modbus_new_tcp("127.0.0.1", 0);
    if (!ctx)
        return 1;
    int listener = modbus_tcp_listen(ctx, 1);
    if (listener < 0) {
        fprintf(stderr, "listen: %s\n", modbus_strerror(errno));
        return 1;
    }
    struct sockaddr_in sa;
    socklen_t len = sizeof sa;
    if (getsockname(listener, (struct sockaddr *)&sa, &len) != 0)
        return 1;
    printf("PORT %u\n", (unsigned)ntohs(sa.sin_port));
    fflush(stdout);
    uint8_t query[MODBUS_TCP_MAX_ADU_LENGTH];
    for (;;) {
        int s = modbus_tcp_accept(ctx, &listener);
        if (s < 0)
            continue;
        for (;;) {
            int rc = modbus_receive(ctx, query);
            if (rc > 0)
                modbus_reply(ctx, query, rc, map);
            else if (rc < 0)
                break; /* the client left */
        }
        close(s);
    }
    return 0;
}

static int serve_rtu(modbus_mapping_t *map, const char *device, int baud)
{
    modbus_t *ctx = modbus_new_rtu(device, baud, 'N', 8, 1);
    if (!ctx)
        return 1;
    modbus_set_slave(ctx, 1);
    if (modbus_connect(ctx) != 0) {
        fprintf(stderr, "connect %s: %s\n", device, modbus_strerror(errno));
        return 1;
    }
    printf("READY\n");
    fflush(stdout);
    uint8_t query[MODBUS_RTU_MAX_ADU_LENGTH];
    for (;;) {
        int rc = modbus_receive(ctx, query);
        if (rc > 0)
            modbus_reply(ctx, query, rc, map);
        else if (rc < 0 && errno != EMBBADCRC && errno != ETIMEDOUT && errno != EMBBADDATA)
            usleep(1000);
    }
    return 0;
}

int main(int argc, char **argv)
{
    if (argc < 2) {
        fprintf(stderr, "usage: libmodbus_server tcp [SIZE] | rtu DEVICE [BAUD]\n");
        return 2;
    }
    int size = N;
    if (strcmp(argv[1], "tcp") == 0 && argc >= 3)
        size = atoi(argv[2]);
    if (size < 1 || size > N) {
        fprintf(stderr, "size must be 1 to %d\n", N);
        return 2;
    }
    modbus_mapping_t *map = make_mapping(size);
    if (!map)
        return 1;
    if (strcmp(argv[1], "tcp") == 0)
        return serve_tcp(map);
    if (strcmp(argv[1], "rtu") == 0 && argc >= 3)
        return serve_rtu(map, argv[2], argc > 3 ? atoi(argv[3]) : 9600);
    fprintf(stderr, "usage: libmodbus_server tcp [SIZE] | rtu DEVICE [BAUD]\n");
    return 2;
}
