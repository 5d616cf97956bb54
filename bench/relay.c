/* The machine-alone baseline of the real-stack benchmark. In the program's
 * place, it reads each line from the sensor port, with the program's line
 * settings, and sends a fixed Note Off and Note On, each drained, as the
 * program does for a note change; the rest of the latency is the machine's. */
#include <alsa/asoundlib.h>
#include <fcntl.h>
#include <stdio.h>
#include <termios.h>
#include <unistd.h>

int main(void) {
    int fd = open("/dev/ttyACM0", O_RDONLY | O_NOCTTY);
    if (fd < 0) {
        perror("/dev/ttyACM0");
        return 1;
    }
    struct termios tp = {0};
    tp.c_cflag = B9600 | CS8 | CREAD | CLOCAL | CRTSCTS;
    tp.c_iflag = IGNPAR | ICRNL;
    tp.c_lflag = ICANON;
    tcsetattr(fd, TCSANOW, &tp);
    snd_rawmidi_t *out;
    int err = snd_rawmidi_open(NULL, &out, "hw:1,0,0", 0);
    if (err < 0) {
        printf("hw:1,0,0: %s\n", snd_strerror(err));
        return 1;
    }
    snd_rawmidi_nonblock(out, 1);
    static const unsigned char off[] = {0x80, 0x3c, 0x00}, on[] = {0x90, 0x3c, 0x64};
    char line[256];
    for (;;) {
        ssize_t n = read(fd, line, sizeof line);
        if (n <= 0) return 0;
        if (n == 1) continue; /* the CR of a CR LF, turned into a second line end */
        snd_rawmidi_write(out, off, sizeof off);
        snd_rawmidi_drain(out);
        snd_rawmidi_write(out, on, sizeof on);
        snd_rawmidi_drain(out);
    }
}
