/* The request numbers the preload library looks for. The termios2 requests are sized by
 * the kernel's struct termios2, which <asm/termbits.h> declares and which cannot share a
 * file with glibc's <termios.h>. */

#include <asm/ioctls.h>
#include <asm/termbits.h>

const unsigned long vsp_tcgets2 = TCGETS2, vsp_tcsets2 = TCSETS2, vsp_tcsetsw2 = TCSETSW2,
                    vsp_tcsetsf2 = TCSETSF2;
const unsigned long vsp_tcgets = TCGETS, vsp_tcsets = TCSETS, vsp_tcsetsw = TCSETSW,
                    vsp_tcsetsf = TCSETSF;
const unsigned long vsp_tiocmget = TIOCMGET, vsp_tiocmset = TIOCMSET, vsp_tiocmbis = TIOCMBIS,
                    vsp_tiocmbic = TIOCMBIC;
const unsigned long vsp_tcsbrk = TCSBRK, vsp_tcsbrkp = TCSBRKP, vsp_tiocsbrk = TIOCSBRK,
                    vsp_tioccbrk = TIOCCBRK;
