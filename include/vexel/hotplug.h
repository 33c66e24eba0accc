/* Cameras arriving on and leaving the bus while the application runs. */
#ifndef VEXEL_HOTPLUG_H
#define VEXEL_HOTPLUG_H

#include <stdint.h>

#include <vexel/export.h>

#ifdef __cplusplus
extern "C" {
#endif

/** What happened to a camera: vexel_hotplug_event::kind. */
enum vexel_hotplug_kind {
    VEXEL_HOTPLUG_ARRIVED = 1, /**< the camera is on the bus and can be opened */
    VEXEL_HOTPLUG_LEFT = 2     /**< the camera is gone; an open record of it reports errors */
};

/** One arrival or departure. A camera that comes back is a new arrival, usually at a new
    address; its serial is how an application knows it again (vexel_dev_open_serial). */
typedef struct vexel_hotplug_event {
    int32_t kind;      /**< VEXEL_HOTPLUG_ARRIVED or VEXEL_HOTPLUG_LEFT */
    uint8_t bus;       /**< bus number, as in vexel_dev */
    uint8_t port;      /**< port number on that bus */
    uint8_t addr;      /**< device address; a camera that comes back has a new one */
    uint8_t reserved;  /**< zero */
    char serial[32];   /**< USB serial, NUL-terminated; empty when the camera gives none */
} vexel_hotplug_event;

/** Called once per event. `ev` is valid for the call only. */
typedef void (*vexel_hotplug_fn)(const vexel_hotplug_event* ev, void* user);

/** Starts reporting cameras arriving and leaving to `fn`.
    Who calls: the application, any thread, any number of times (each registration gets every
    event).
    Result: a handle > 0 for vexel_hotplug_deregister, or 0 when `fn` is null or the watch
    cannot start (logged).
    Events: first an ARRIVED for every camera already on the bus, delivered on the calling thread
    before this returns; after that, events come from the library's watch thread, one at a time
    and in order, within about a second of the change (at once where libusb reports hot-plug
    events, by a scan every second otherwise). A callback may open and close cameras and may
    deregister any handle, its own included; it should return promptly, as the other
    registrations wait for it. */
VX_API int vexel_hotplug_register(vexel_hotplug_fn fn, void* user);

/** Stops the events of `handle`.
    Who calls: the application, any thread, callbacks included.
    Result: 1, or 0 when the handle is not registered.
    Threads: from outside a callback, returns after any call of this registration's function has
    finished, so `user` may be freed at once; the watch thread stops with the last registration. */
VX_API int vexel_hotplug_deregister(int handle);

#ifdef __cplusplus
}
#endif

#endif
