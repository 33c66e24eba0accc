/* An application with a function of its own called i2c: the application interface must compile
   beside it, and the library must keep calling its own register shim, not this one. */
#include <stdio.h>
#include <stdlib.h>

#include <vexel/vexel.h>

static int own_calls;

int i2c(const char* bus, int address) {
    (void)bus;
    (void)address;
    return ++own_calls;
}

int main(void) {
    static unsigned char raw[320 * 240 * 8];
    static float dist[320 * 240];
    vexel_dev list[4];
    vexel_frame_info info;
    int decoded = 0;
    vexel_init("/dev/null");
    vexel_log_cfg(VX_LOG_OFF, VX_LOG_OFF, VX_LOG_OFF);
    if (vexel_dev_list(list, 4) < 1 || !vexel_dev_open(&list[0])) {
        fputs("no camera\n", stderr);
        return 1;
    }
    if (vexel_cap_snapshot(&list[0], raw, sizeof raw, &info) == 1)
        decoded = vexel_frame_get_distance(&list[0], dist, 320 * 240, raw, sizeof raw, &info);
    vexel_dev_close(&list[0]);
    vexel_uninit();
    /* A sensor programmed through the wrong i2c would not decode to the scene's wall. */
    printf("own i2c calls %d, decoded %d, centre %.3f m\n", own_calls, decoded, decoded ? dist[120 * 320 + 160] : 0.0f);
    return own_calls == 0 && decoded == 320 * 240 && dist[120 * 320 + 160] > 0.5f && dist[120 * 320 + 160] < 60.0f ? 0 : 1;
}
