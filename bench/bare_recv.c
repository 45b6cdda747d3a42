/* The smallest receive-only program: binds UDP port 123 and receives 48-byte
   datagrams for ever. The yardstick for the daemon's receive loop and footprint. */
#include <netinet/in.h>
#include <stdio.h>
#include <sys/socket.h>

int main(void) {
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    struct sockaddr_in addr = {0};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_ANY);
    addr.sin_port = htons(123);
    if (fd < 0 || bind(fd, (struct sockaddr*)&addr, sizeof addr) != 0) {
        perror("bare_recv");
        return 1;
    }
    unsigned char buf[48];
    struct sockaddr_in from;
    for (;;) {
        socklen_t len = sizeof from;
        (void)recvfrom(fd, buf, sizeof buf, 0, (struct sockaddr*)&from, &len);
    }
}
