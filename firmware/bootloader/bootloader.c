// The resident bootloader of the ATmega128 target.
//
// It lives in the 2 KiB boot section (byte address 0x1F800, BOOTSZ = 1024
// words, BOOTRST programmed so the chip starts here) and never writes it.
//
// Clock: a 14.7456 MHz crystal. 14745600 / (16 * 115200) = 8 exactly, so
// UBRR0 = 7 gives 115200 baud with no error (8N1, normal speed).
//
// Link: 0x33 0x33 is answered 0x55 0x33 0xAA. A block frame 0x11 N N, 1024
// data bytes and the XOR of the 1027 bytes before it is checked (N repeated,
// N in 3..125, check byte, no framing error), written with SPM page erase and
// page write (four 256-byte pages), read back, and answered 0x55 0x11 0xAA.
// A complete request that fails any check is answered 0x55 0x00 0xAA and
// changes nothing. A request cut short by 200 ms of silence is dropped without
// an answer, so a lost byte never leaves the loader waiting for the rest.
// Bytes that start no request are skipped.
//
// Between bytes the CPU sleeps (idle mode: the USART and Timer 1 run on); a
// received byte or the 200 ms tick of Timer 1 wakes it. The interrupt vectors
// are moved to the boot section (IVSEL), so the application section may
// hold anything.
#include <avr/boot.h>
#include <avr/interrupt.h>
#include <avr/io.h>
#include <avr/pgmspace.h>
#include <avr/sleep.h>
#include <avr/wdt.h>
#include <stdint.h>

#define BAUD 115200UL
#define UBRR_VALUE (F_CPU / (16UL * BAUD) - 1UL)
_Static_assert(F_CPU % (16UL * BAUD) == 0, "the crystal must give the baud rate exactly");
_Static_assert(UBRR_VALUE == 7, "14.7456 MHz at 115200 baud is UBRR 7");

#define BOOT_START 0x1F800UL
#define BLOCK_SIZE 1024U
#define PAGES_PER_BLOCK (BLOCK_SIZE / SPM_PAGESIZE)
_Static_assert(SPM_PAGESIZE == 256, "ATmega128 pages are 256 bytes");
#define FIRST_BLOCK 3U
#define LAST_BLOCK 125U
_Static_assert((LAST_BLOCK + 1UL) * BLOCK_SIZE == BOOT_START,
               "the last block ends at the boot section");

#define HANDSHAKE 0x33U
#define WRITE_BLOCK 0x11U
#define ACK_START 0x55U
#define ACK_END 0xAAU
#define REFUSED 0x00U

// Timer 1 counts F_CPU / 1024 = 14400 ticks per second and clears itself
// every 2880 ticks: 200 ms. A pause that long ends a partial request. It is
// far longer than a busy host's pauses between the pieces of one frame and
// far shorter than the 2.5 s and 5 s it waits for an answer before retrying.
#define GAP_TICKS 2880U

// What rx() returns besides a byte.
#define RX_SILENCE (-1)
#define RX_GARBLED 0x100  // or-ed into a byte with a framing error or overrun

static uint8_t block[BLOCK_SIZE];
static volatile uint8_t tick;  // set every 200 ms

// Only wakes the loader; rx() reads the byte. Enabled again before each sleep.
ISR(USART0_RX_vect) {
  UCSR0B &= (uint8_t)~_BV(RXCIE0);
}

ISR(TIMER1_COMPA_vect) {
  tick = 1;
}

static void timer_init(void) {
  TCCR1A = 0;
  OCR1A = GAP_TICKS - 1;
  TCCR1B = _BV(WGM12) | _BV(CS12) | _BV(CS10);
  TIMSK = _BV(OCIE1A);
}

// Interrupts come from the boot section: the timed IVCE, IVSEL sequence.
static void vectors_to_boot_section(void) {
  MCUCR = _BV(IVCE);
  MCUCR = _BV(IVSEL);
}

static void uart_init(void) {
  UBRR0H = (uint8_t)(UBRR_VALUE >> 8);
  UBRR0L = (uint8_t)UBRR_VALUE;
  UCSR0A = 0;
  UCSR0C = _BV(UCSZ01) | _BV(UCSZ00);
  UCSR0B = _BV(RXEN0) | _BV(TXEN0);
}

static void tx(uint8_t byte) {
  while (!(UCSR0A & _BV(UDRE0))) {
  }
  UDR0 = byte;
}

static void answer(uint8_t command) {
  tx(ACK_START);
  tx(command);
  tx(ACK_END);
}

// The next byte, RX_SILENCE after the gap (or never, with wait_forever).
static int16_t rx(uint8_t wait_forever) {
  TCNT1 = 0;
  tick = 0;
  while (!(UCSR0A & _BV(RXC0))) {
    if (tick) {
      if (!wait_forever) return RX_SILENCE;
      tick = 0;
    }
    // Checked again with interrupts off, so a byte that came meanwhile does
    // not leave the CPU asleep: sei takes effect after the sleep instruction.
    cli();
    if (!(UCSR0A & _BV(RXC0)) && !tick) {
      UCSR0B |= _BV(RXCIE0);
      sleep_enable();
      sei();
      sleep_cpu();
      sleep_disable();
    }
    sei();
  }
  // The error flags belong to the byte in UDR0 and must be read before it.
  const uint8_t status = UCSR0A;
  const uint8_t byte = UDR0;
  return (status & (_BV(FE0) | _BV(DOR0))) ? (int16_t)(byte | RX_GARBLED) : byte;
}

// Erases and writes block n from the buffer, then reads it back. Only the
// application section is ever touched. Runs with interrupts off.
static uint8_t program_block(uint8_t n) {
  const uint32_t base = (uint32_t)n * BLOCK_SIZE;
  if (n < FIRST_BLOCK || n > LAST_BLOCK || base + BLOCK_SIZE > BOOT_START) return 0;
  cli();
  const uint8_t* data = block;
  for (uint8_t page = 0; page < PAGES_PER_BLOCK; ++page) {
    const uint32_t address = base + (uint32_t)page * SPM_PAGESIZE;
    boot_page_erase(address);
    boot_spm_busy_wait();
    for (uint16_t i = 0; i < SPM_PAGESIZE; i += 2) {
      boot_page_fill(address + i, (uint16_t)data[0] | ((uint16_t)data[1] << 8));
      data += 2;
    }
    boot_page_write(address);
    boot_spm_busy_wait();
  }
  // Reading the application section needs it enabled again after writing.
  boot_rww_enable();
  for (uint16_t i = 0; i < BLOCK_SIZE; ++i) {
    if (pgm_read_byte_far(base + i) != block[i]) return 0;
  }
  return 1;
}

// The rest of a frame after its command byte.
static void block_frame(void) {
  const int16_t first = rx(0);
  if (first == RX_SILENCE) return;
  const int16_t second = rx(0);
  if (second == RX_SILENCE) return;
  uint8_t sound = !((first | second) & RX_GARBLED);
  uint8_t check = WRITE_BLOCK ^ (uint8_t)first ^ (uint8_t)second;
  for (uint16_t i = 0; i < BLOCK_SIZE; ++i) {
    const int16_t c = rx(0);
    if (c == RX_SILENCE) return;
    if (c & RX_GARBLED) sound = 0;
    block[i] = (uint8_t)c;
    check ^= (uint8_t)c;
  }
  const int16_t c = rx(0);
  if (c == RX_SILENCE) return;
  const uint8_t n = (uint8_t)first;
  if (sound && !(c & RX_GARBLED) && (uint8_t)c == check && first == second && n >= FIRST_BLOCK &&
      n <= LAST_BLOCK && program_block(n)) {
    answer(WRITE_BLOCK);
  } else {
    answer(REFUSED);
  }
}

int main(void) {
  // A watchdog left running by an application would reset the loader.
  MCUCSR = 0;
  wdt_disable();
  vectors_to_boot_section();
  uart_init();
  timer_init();
  set_sleep_mode(SLEEP_MODE_IDLE);
  sei();

  int16_t next = RX_SILENCE;
  for (;;) {
    const int16_t c = next != RX_SILENCE ? next : rx(1);
    next = RX_SILENCE;
    if (c == HANDSHAKE) {
      const int16_t second = rx(0);
      if (second == HANDSHAKE) {
        answer(HANDSHAKE);
      } else if (second != RX_SILENCE) {
        answer(REFUSED);
        next = second;  // it may begin the next request
      }
    } else if (c == WRITE_BLOCK) {
      block_frame();
    }
  }
}
