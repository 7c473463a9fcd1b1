// SPDX-License-Identifier: MIT
// An FTDI chip that accepts bit-bang mode, for the guest kernel: a USB
// function in user space (FunctionFS) that the kernel's dummy_hcd plugs in
// as a device, so that ftdi_sio, usbfs and libftdi1 meet it as they meet a
// real FT232R. Every read of the pins answers the next byte of a counter;
// with STALL_EVERY n, every n-th read is stalled instead.
//   usage: ffs_chip FUNCTIONFS_DIR [STALL_EVERY]
// The endpoints: ep0 control, ep1 bulk IN (two modem status bytes every
// 16 ms, as the chip's latency timer sends them), ep2 bulk OUT (taken and
// dropped).
#include <linux/usb/ch9.h>
#include <linux/usb/functionfs.h>

#include <endian.h>
#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

enum {
  read_pins = 0x0C,
  set_bitmode = 0x0B,
  get_modem_status = 0x05,
  get_latency = 0x0A
};

// The guest is x86-64: the descriptors' little-endian fields are written
// as they are.
struct endpoints {
  struct usb_interface_descriptor interface;
  struct usb_endpoint_descriptor_no_audio in, out;
} __attribute__((packed));

#define ENDPOINTS(packet)                                                      \
  {{sizeof(struct usb_interface_descriptor), USB_DT_INTERFACE, 0, 0, 2, 0xFF,  \
    0xFF, 0xFF, 1},                                                            \
   {USB_DT_ENDPOINT_SIZE, USB_DT_ENDPOINT, 0x81, USB_ENDPOINT_XFER_BULK,       \
    (packet), 0},                                                              \
   {USB_DT_ENDPOINT_SIZE, USB_DT_ENDPOINT, 0x02, USB_ENDPOINT_XFER_BULK,       \
    (packet), 0}}

static const struct {
  struct usb_functionfs_descs_head_v2 head;
  __le32 full_speed_count, high_speed_count;
  struct endpoints full_speed, high_speed;
} __attribute__((packed)) descriptors = {
    {(FUNCTIONFS_DESCRIPTORS_MAGIC_V2), (sizeof descriptors),
     (FUNCTIONFS_HAS_FS_DESC | FUNCTIONFS_HAS_HS_DESC |
      FUNCTIONFS_ALL_CTRL_RECIP)},
    (3),
    (3),
    ENDPOINTS(64),
    ENDPOINTS(512)};

static const struct {
  struct usb_functionfs_strings_head head;
  __le16 language;
  char name[sizeof "FT232R UART"];
} __attribute__((packed)) strings = {
    {(FUNCTIONFS_STRINGS_MAGIC), (sizeof strings), (1), (1)},
    (0x0409),
    "FT232R UART"};

static char path[256];

static int open_endpoint(const char *dir, const char *name, int flags) {
  snprintf(path, sizeof path, "%s/%s", dir, name);
  const int fd = open(path, flags);
  if (fd < 0) {
    perror(path);
    exit(1);
  }
  return fd;
}

// Bulk I/O waits while the host has the function unbound, and fails while
// it goes away; either way it is simply tried again.
static void *status_packets(void *fd) {
  static const unsigned char status[2] = {0x01, 0x60};
  for (;;) {
    if (write(*(int *)fd, status, sizeof status) < 0)
      usleep(100000);
    usleep(16000);
  }
  return NULL;
}

static void *drop_data(void *fd) {
  unsigned char data[512];
  for (;;)
    if (read(*(int *)fd, data, sizeof data) < 0)
      usleep(100000);
  return NULL;
}

static void answer(int ep0, const struct usb_ctrlrequest *setup,
                   int stall_every) {
  static unsigned reads;
  const int in = setup->bRequestType & USB_DIR_IN;
  unsigned char reply[64] = {0};
  size_t length = le16toh(setup->wLength);
  if (length > sizeof reply)
    length = sizeof reply;
  if (setup->bRequest == read_pins && in) {
    ++reads;
    if (stall_every > 0 && reads % stall_every == 0) {
      fprintf(stderr, "ffs_chip: read %u stalled\n", reads);
      if (read(ep0, NULL, 0) < 0) { // the wrong direction: a stall
      }
      return;
    }
    reply[0] = (unsigned char)reads;
  } else if (setup->bRequest == get_modem_status && in) {
    reply[0] = 0x01;
    reply[1] = 0x60;
  } else if (setup->bRequest == get_latency && in) {
    reply[0] = 16;
  } else if (setup->bRequest == set_bitmode) {
    fprintf(stderr, "ffs_chip: bit mode %04x\n", le16toh(setup->wValue));
  }
  const ssize_t done = in ? write(ep0, reply, length) : read(ep0, NULL, 0);
  if (done < 0 && errno != EL2HLT)
    fprintf(stderr, "ffs_chip: request %02x: %s\n", setup->bRequest,
            strerror(errno));
}

int main(int argc, char *argv[]) {
  if (argc < 2) {
    fprintf(stderr, "usage: ffs_chip FUNCTIONFS_DIR [STALL_EVERY]\n");
    return 2;
  }
  const int stall_every = argc > 2 ? atoi(argv[2]) : 0;
  const int ep0 = open_endpoint(argv[1], "ep0", O_RDWR);
  if (write(ep0, &descriptors, sizeof descriptors) < 0 ||
      write(ep0, &strings, sizeof strings) < 0) {
    perror("ffs_chip: descriptors");
    return 1;
  }
  static int in, out;
  in = open_endpoint(argv[1], "ep1", O_RDWR);
  out = open_endpoint(argv[1], "ep2", O_RDWR);
  pthread_t status_thread, data_thread;
  pthread_create(&status_thread, NULL, status_packets, &in);
  pthread_create(&data_thread, NULL, drop_data, &out);
  fprintf(stderr, "ffs_chip: ready\n");
  for (;;) {
    struct usb_functionfs_event events[4];
    const ssize_t got = read(ep0, events, sizeof events);
    if (got < 0) {
      // EIDRM: the host gave up a request before its answer; the next
      // one follows.
      if (errno == EINTR || errno == EAGAIN || errno == EIDRM)
        continue;
      perror("ffs_chip: ep0");
      return 1;
    }
    for (size_t i = 0; i < (size_t)got / sizeof events[0]; ++i)
      if (events[i].type == FUNCTIONFS_SETUP)
        answer(ep0, &events[i].u.setup, stall_every);
  }
}
