/*
 * A C program on the driver library's public header alone: a client and
 * the answering side in one process over a loopback socket. The answering
 * thread takes one batch write and one batch read of D registers; the
 * client checks what it reads back. Exit status 0 only when all matched.
 */
#define _POSIX_C_SOURCE 200809L

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <pthread.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include "plc/qzrplc.h"

#define DREG 0xA8
#define HEAD 200
#define POINTS 3

static int failures;

static void check(int ok, const char* what, long got)
{
    if (!ok) {
        fprintf(stderr, "qzrplc_c_test: %s (got %ld)\n", what, got);
        ++failures;
    }
}

/* The answering side: store the written words, give them back to the read. */
struct answering {
    int32_t id;
    int32_t write_rc, read_rc, send_rc[2];
    int32_t cmd[2], code[2], address[2], points[2];
    uint16_t memory[QZRPLC_MELSEC_DATA / 2];
};

static void* answer(void* argument)
{
    struct answering* a = argument;
    int i;
    for (i = 0; i < 2; ++i) {
        int32_t rc = QZRPLCMelsecServRecv(a->id, 0, &a->cmd[i], &a->code[i], &a->address[i], &a->points[i],
                                          a->memory, 1000);
        if (rc < 0) {
            a->send_rc[i] = rc;
            break;
        }
        if (i == 0)
            a->write_rc = rc;
        else
            a->read_rc = rc;
        a->send_rc[i] = QZRPLCMelsecServSend(a->id, 0, a->cmd[i], a->code[i], a->address[i],
                                             a->cmd[i] == QZRPLC_MELSEC_READ ? a->points[i] : 0, a->memory, 0);
    }
    return NULL;
}

static int listen_loopback(int* port)
{
    struct sockaddr_in addr;
    socklen_t length = sizeof addr;
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    memset(&addr, 0, sizeof addr);
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd < 0 || bind(fd, (struct sockaddr*)&addr, sizeof addr) != 0 || listen(fd, 4) != 0 ||
        getsockname(fd, (struct sockaddr*)&addr, &length) != 0) {
        if (fd >= 0)
            close(fd);
        return -1;
    }
    *port = ntohs(addr.sin_port);
    return fd;
}

int main(void)
{
    const uint16_t put[POINTS] = {0x1234, 0xFFFF, 7};
    uint16_t got[POINTS] = {0, 0, 0};
    struct answering a;
    struct pollfd waiting;
    pthread_t thread;
    int port = 0, accepted, i;
    int listener = listen_loopback(&port);
    int32_t client, rc;

    memset(&a, 0, sizeof a);
    if (listener < 0) {
        fprintf(stderr, "qzrplc_c_test: no loopback listener\n");
        return 1;
    }
    client = QZRPLCMelsecOpen(0, "127.0.0.1", port, 3, "", 0);
    check(client >= 1 && client <= QZRPLC_MAXID, "client open", client);
    waiting.fd = listener;
    waiting.events = POLLIN;
    accepted = client > 0 && poll(&waiting, 1, 1000) == 1 ? accept(listener, NULL, NULL) : -1;
    close(listener);
    a.id = accepted > 0 ? QZRPLCMelsecOpen(QZRPLC_FLAG_SERVER, "127.0.0.1", accepted, 3, "", 0) : -1;
    check(a.id >= 1 && a.id != client, "server-mode open", a.id);
    if (failures > 0)
        return 1;
    if (pthread_create(&thread, NULL, answer, &a) != 0) {
        fprintf(stderr, "qzrplc_c_test: no thread\n");
        return 1;
    }

    rc = QZRPLCMelsecSet(client, QZRPLC_FLAG_LOCK, DREG, HEAD, POINTS, put, 1000);
    check(rc == 2 * POINTS, "Set result", rc);
    rc = QZRPLCMelsecGet(client, QZRPLC_FLAG_LOCK, DREG, HEAD, POINTS, got, 1000);
    check(rc == 2 * POINTS, "Get result", rc);
    pthread_join(thread, NULL);
    QZRPLCMelsecClose(client, 0);
    QZRPLCMelsecClose(a.id, 0);

    for (i = 0; i < POINTS; ++i)
        check(got[i] == put[i], "value read back", got[i]);
    check(a.cmd[0] == QZRPLC_MELSEC_WRITE && a.cmd[1] == QZRPLC_MELSEC_READ, "commands seen", a.cmd[0]);
    for (i = 0; i < 2; ++i) {
        check(a.code[i] == DREG && a.address[i] == HEAD && a.points[i] == POINTS, "device seen", a.address[i]);
        check(a.send_rc[i] >= 0, "answer sent", a.send_rc[i]);
    }
    check(a.write_rc == 2 * POINTS && a.read_rc == 0, "ServRecv results", a.write_rc);
    if (failures == 0)
        printf("qzrplc_c_test: all matched\n");
    return failures == 0 ? 0 : 1;
}
