// SPDX-License-Identifier: MIT
/* What a general serial-port library spends on the question of morvek's discovery:
 * libserialport lists the serial ports and reads each one's USB ids and product string.
 * Prints "CPU_MICROSECONDS PORTS MATCHING" for that alone. */
#include <libserialport.h>
#include <stdio.h>
#include <time.h>

static double cpuMicroseconds(void)
{
    struct timespec now;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return now.tv_sec * 1e6 + now.tv_nsec / 1e3;
}

int main(void)
{
    const double start = cpuMicroseconds();
    struct sp_port **ports;
    int count = 0;
    int matching = 0;
    if (sp_list_ports(&ports) == SP_OK) {
        for (; ports[count]; ++count) {
            int vid;
            int pid;
            if (sp_get_port_transport(ports[count]) == SP_TRANSPORT_USB &&
                sp_get_port_usb_vid_pid(ports[count], &vid, &pid) == SP_OK && vid == 0x04d8 &&
                pid == 0x000a && sp_get_port_usb_product(ports[count]))
                ++matching;
        }
        sp_free_port_list(ports);
    }
    printf("%.0f %d %d\n", cpuMicroseconds() - start, count, matching);
    return 0;
}
