// SPDX-License-Identifier: GPL-3.0-or-later
/* Reference multi-client Modbus TCP server on libmodbus for the many-masters
 * benchmark, on the pattern of libmodbus's select-loop server: one listening
 * socket and every accepted master in one select() set, each request read
 * with modbus_receive and answered with modbus_reply on its socket. Serves
 * holding and input registers (value = address) on 127.0.0.1 until killed.
 * Usage: libmodbus_multi_server PORT */
#include <errno.h>
#include <modbus.h>
#include <netinet/in.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <unistd.h>

int main(int argc, char** argv)
{
    if (argc < 2) {
        fprintf(stderr, "usage: %s PORT\n", argv[0]);
        return 2;
    }
    modbus_t* ctx = modbus_new_tcp("127.0.0.1", atoi(argv[1]));
    modbus_mapping_t* map = modbus_mapping_new(2000, 2000, 10000, 10000);
    if (!ctx || !map) {
        fprintf(stderr, "cannot set up the server\n");
        return 1;
    }
    for (int i = 0; i < 10000; ++i) {
        map->tab_registers[i] = (uint16_t)i;
        map->tab_input_registers[i] = (uint16_t)(i * 3);
    }
    int server = modbus_tcp_listen(ctx, 512);
    if (server < 0) {
        fprintf(stderr, "cannot listen: %s\n", modbus_strerror(errno));
        return 1;
    }
    printf("listening %s\n", argv[1]);
    fflush(stdout);
    fd_set refset, rdset;
    FD_ZERO(&refset);
    FD_SET(server, &refset);
    int fdmax = server;
    uint8_t query[MODBUS_TCP_MAX_ADU_LENGTH];
    for (;;) {
        rdset = refset;
        if (select(fdmax + 1, &rdset, NULL, NULL, NULL) == -1) {
            if (errno == EINTR) continue;
            perror("select");
            return 1;
        }
        for (int fd = 0; fd <= fdmax; ++fd) {
            if (!FD_ISSET(fd, &rdset)) continue;
            if (fd == server) {
                struct sockaddr_in addr;
                socklen_t len = sizeof addr;
                int s = accept(server, (struct sockaddr*)&addr, &len);
                if (s < 0) continue;
                if (s >= FD_SETSIZE) {
                    close(s);
                    continue;
                }
                FD_SET(s, &refset);
                if (s > fdmax) fdmax = s;
            } else {
                modbus_set_socket(ctx, fd);
                int rc = modbus_receive(ctx, query);
                if (rc > 0) {
                    modbus_reply(ctx, query, rc, map);
                } else if (rc == -1) {
                    close(fd);
                    FD_CLR(fd, &refset);
                    if (fd == fdmax) --fdmax;
                }
            }
        }
    }
}
