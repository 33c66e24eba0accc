/* A complete client in C: list the cameras, open the first, capture ten frames and print the
   distance at the centre of each.

       cc centre_distance.c $(pkg-config --cflags --libs vexel) -Wl,-rpath,$(pkg-config --variable=libdir vexel) \
          -o centre_distance
       vexel-sim -- ./centre_distance           # without a camera */
#include <stdio.h>

#include <vexel/vexel.h>

int main(void) {
    static unsigned char raw[320 * 240 * 2 * 4]; /* one raw frame: four planes of 16-bit samples */
    static float metres[320 * 240];
    vexel_dev cams[8];
    vexel_frame_info info;
    int n, i, rc = 0;

    /* Naming a log file avoids the dated one vexel_init(NULL) opens in the working directory. */
    vexel_init("/dev/null");
    vexel_log_cfg(VX_LOG_WRN, VX_LOG_OFF, VX_LOG_OFF);

    n = vexel_dev_list(cams, 8);
    printf("%d camera(s)\n", n);
    for (i = 0; i < n; ++i) printf("  %d: bus %u port %u\n", i, cams[i].bus, cams[i].port);
    /* The camera's calibration is kept in the user's cache ($XDG_CACHE_HOME/vexel/SERIAL-CHIP/,
       else ~/.cache/vexel/...), whatever the working directory; without this call it would be
       the working directory. */
    if (n >= 1 && vexel_path_cfg_cache(&cams[0]) != 0)
        fprintf(stderr, "no calibration cache directory: distances may be uncorrected\n");
    if (n < 1 || !vexel_dev_open(&cams[0])) {
        fprintf(stderr, "no camera to open\n");
        vexel_uninit();
        return 1;
    }
    printf("opened %s\n", cams[0].product);

    if (!vexel_cap_start(&cams[0])) {
        fprintf(stderr, "capture did not start\n");
        rc = 1;
    }
    for (i = 0; rc == 0 && i < 10; ++i) {
        /* Waits up to about two seconds; negative results are capture errors. */
        int got = vexel_cap_get_frames(&cams[0], 1, raw, sizeof raw, &info);
        unsigned w = info.frame_width, h = info.frame_height;
        if (got != 1) {
            fprintf(stderr, "no frame: %s\n", got < 0 ? vexel_error_name(got) : "time-out");
            rc = 1;
        } else if (vexel_frame_get_distance(&cams[0], metres, 320 * 240, raw, info.frame_size, &info) <= 0) {
            fprintf(stderr, "frame %u did not decode\n", info.frame_idx);
            rc = 1;
        } else {
            /* Metres; 65.3 and 65.5 mark pixels the decode rejected. */
            printf("frame %u: centre %.3f m\n", info.frame_idx, metres[(h / 2) * w + w / 2]);
        }
    }
    vexel_cap_stop(&cams[0]);
    vexel_dev_close(&cams[0]);
    vexel_uninit();
    return rc;
}
