#include "tools/mcu/Atmega128.h"

#include <avr_uart.h>
#include <sim_avr.h>
#include <sim_cycle_timers.h>
#include <sim_elf.h>
#include <sim_hex.h>
#include <sim_io.h>
#include <stdlib.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <utility>

namespace mcu {

namespace {

// USART0 registers by data-space address on this part.
constexpr std::uint16_t kUbrr0L = 0x29;
constexpr std::uint16_t kUbrr0H = 0x90;
constexpr std::uint16_t kUcsr0A = 0x2B;
constexpr std::uint8_t kU2x0 = 1 << 1;
constexpr std::uint16_t kMcucr = 0x55;
constexpr std::uint8_t kIvsel = 1 << 1;
// 35 vectors of two words each.
constexpr std::uint32_t kVectorTableEnd = 35 * 4;

void Place(avr_t* avr, std::uint32_t base, const std::uint8_t* data, std::uint32_t size,
           const std::string& file) {
  if (base > kFlashSize || size > kFlashSize - base)
    throw std::runtime_error(file + ": code outside the 128 KiB flash");
  std::memcpy(avr->flash + base, data, size);
}

void LoadHex(avr_t* avr, const std::string& file) {
  ihex_chunk_p chunks = nullptr;
  const int count = read_ihex_chunks(file.c_str(), &chunks);
  if (count <= 0) throw std::runtime_error(file + ": not a readable Intel HEX file");
  struct Release {
    ihex_chunk_p chunks;
    int count;
    // The library gives back each chunk's data but not the array it
    // allocated for them.
    ~Release() {
      free_ihex_chunks(chunks);
      ::free(chunks);
    }
  } release{chunks, count};
  for (int i = 0; i < count; ++i)
    Place(avr, chunks[i].baseaddr, chunks[i].data, chunks[i].size, file);
}

void LoadElf(avr_t* avr, const std::string& file) {
  elf_firmware_t f{};
  if (elf_read_firmware(file.c_str(), &f) != 0 || f.flash == nullptr)
    throw std::runtime_error(file + ": not a readable AVR ELF file");
  // Everything the reader allocated is ours to give back.
  struct Release {
    elf_firmware_t& f;
    ~Release() {
      for (std::uint32_t i = 0; f.symbol != nullptr && i < f.symbolcount; ++i) ::free(f.symbol[i]);
      ::free(f.symbol);
      ::free(f.flash);
      ::free(f.eeprom);
      ::free(f.fuse);
      ::free(f.lockbits);
    }
  } release{f};
  Place(avr, f.flashbase, f.flash, f.flashsize, file);
}

// The simulator's messages go to standard error, and only its warnings and
// errors: standard output carries the line's path alone.
void Log(avr_t* avr, const int level, const char* format, va_list ap) {
  if (level > LOG_WARNING || (avr && level > avr->log)) return;
  std::fputs("comflash-mcu: simulator: ", stderr);
  std::vfprintf(stderr, format, ap);
}

}  // namespace

void Atmega128::Free::operator()(avr_t* avr) const {
  avr_terminate(avr);
  ::free(avr);
}

Atmega128::Atmega128(const std::string& firmware) {
  avr_global_logger_set(&Log);
  avr_.reset(avr_make_mcu_by_name("atmega128"));
  if (!avr_) throw std::runtime_error("the simulator has no atmega128");
  if (avr_init(avr_.get()) != 0) throw std::runtime_error("the simulated atmega128 did not start");
  avr_->frequency = kCrystalHz;
  avr_->log = LOG_ERROR;

  const bool hex = firmware.size() > 4 && firmware.compare(firmware.size() - 4, 4, ".hex") == 0;
  if (hex) {
    LoadHex(avr_.get(), firmware);
  } else {
    LoadElf(avr_.get(), firmware);
  }
  // BOOTRST programmed: reset jumps to the boot section.
  avr_->reset_pc = kBootStart;
  avr_->pc = kBootStart;
  avr_->codeend = kFlashSize - 1;

  // No console echo and no sleeping in the simulator's status-register reads:
  // the line is paced here, against the wall clock.
  std::uint32_t flags = 0;
  avr_ioctl(avr_.get(), AVR_IOCTL_UART_GET_FLAGS('0'), &flags);
  flags &= ~(AVR_UART_FLAG_POLL_SLEEP | AVR_UART_FLAG_STDIO);
  avr_ioctl(avr_.get(), AVR_IOCTL_UART_SET_FLAGS('0'), &flags);

  input_ = avr_io_getirq(avr_.get(), AVR_IOCTL_UART_GETIRQ('0'), UART_IRQ_INPUT);
  avr_irq_t* output = avr_io_getirq(avr_.get(), AVR_IOCTL_UART_GETIRQ('0'), UART_IRQ_OUTPUT);
  if (!input_ || !output) throw std::runtime_error("the simulated atmega128 has no USART0");
  avr_irq_register_notify(output, &Atmega128::OnOutput, this);
}

Atmega128::~Atmega128() = default;

void Atmega128::OnOutput(avr_irq_t*, std::uint32_t value, void* self) {
  auto* chip = static_cast<Atmega128*>(self);
  chip->sent_.push_back(SentByte{static_cast<std::uint8_t>(value), chip->avr_->cycle});
}

void Atmega128::RunUntil(std::uint64_t cycle) {
  // A sleeping core leaps to its next timer; this one keeps the leap from
  // passing the cycle asked for.
  if (cycle > avr_->cycle) {
    avr_cycle_timer_register(avr_.get(), cycle - avr_->cycle, &Atmega128::Wake, this);
  }
  while (avr_->cycle < cycle) {
    const int state = avr_run(avr_.get());
    if (state == cpu_Done) throw std::runtime_error("the simulated program stopped");
    if (state == cpu_Crashed) throw std::runtime_error("the simulated program crashed");
    // With IVSEL set the part takes its interrupts from the start of the boot
    // section; the simulator always vectors to address 0. Only an interrupt
    // lands in the table while IVSEL is set (reset clears it), so such an
    // entry is moved before it runs.
    if ((avr_->data[kMcucr] & kIvsel) && avr_->pc < kVectorTableEnd) avr_->pc += kBootStart;
  }
}

std::uint64_t Atmega128::Wake(avr_t*, std::uint64_t, void*) {
  return 0;
}

std::uint64_t Atmega128::Cycle() const {
  return avr_->cycle;
}

void Atmega128::Receive(std::uint8_t value, bool framing_error) {
  avr_raise_irq(input_, value | (framing_error ? UART_INPUT_FE : 0));
}

std::vector<SentByte> Atmega128::TakeSent() {
  return std::exchange(sent_, {});
}

double Atmega128::Baud() const {
  const unsigned ubrr = (avr_->data[kUbrr0H] & 0x0F) << 8 | avr_->data[kUbrr0L];
  const unsigned divisor = (avr_->data[kUcsr0A] & kU2x0) ? 8 : 16;
  return static_cast<double>(kCrystalHz) / (divisor * (ubrr + 1));
}

std::span<const std::uint8_t> Atmega128::Flash() const {
  return {avr_->flash, kFlashSize};
}

void Atmega128::EraseApplicationSection() {
  std::memset(avr_->flash, 0xFF, kBootStart);
}

}  // namespace mcu
