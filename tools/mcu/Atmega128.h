// A simulated ATmega128 on a 14.7456 MHz crystal, started in its boot section
// (BOOTRST programmed), with USART0 reached byte by byte.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

struct avr_t;
struct avr_irq_t;

namespace mcu {

inline constexpr std::uint32_t kCrystalHz = 14'745'600;
inline constexpr std::uint32_t kFlashSize = 128 * 1024;
inline constexpr std::uint32_t kBootStart = 0x1F800;  // BOOTSZ: 1024 words

struct SentByte {
  std::uint8_t value;
  std::uint64_t cycle;  // when the program wrote it to UDR0
};

class Atmega128 {
 public:
  // Loads an ELF file or, for a name ending in .hex, Intel HEX. Throws
  // std::runtime_error when the file cannot be read or does not fit.
  explicit Atmega128(const std::string& firmware);
  ~Atmega128();
  Atmega128(const Atmega128&) = delete;
  Atmega128& operator=(const Atmega128&) = delete;

  // Runs whole instructions until the cycle count reaches `cycle`. Throws
  // std::runtime_error when the program has stopped or crashed.
  void RunUntil(std::uint64_t cycle);
  std::uint64_t Cycle() const;
  double Seconds() const { return static_cast<double>(Cycle()) / kCrystalHz; }
  static std::uint64_t CycleAt(double seconds) {
    return static_cast<std::uint64_t>(seconds * kCrystalHz + 0.5);
  }

  // A byte the USART0 receiver completed; lost while the receiver is off.
  void Receive(std::uint8_t value, bool framing_error);
  // What the program transmitted since the last call.
  std::vector<SentByte> TakeSent();
  // The rate USART0 is set to (UBRR0 and U2X0).
  double Baud() const;

  std::span<const std::uint8_t> Flash() const;
  // Erases everything below the boot section (0xFF, as an erased chip's
  // flash), keeping the bootloader.
  void EraseApplicationSection();

 private:
  static void OnOutput(avr_irq_t* irq, std::uint32_t value, void* self);
  static std::uint64_t Wake(avr_t* avr, std::uint64_t when, void* self);

  struct Free {
    void operator()(avr_t* avr) const;
  };
  std::unique_ptr<avr_t, Free> avr_;
  avr_irq_t* input_ = nullptr;
  std::vector<SentByte> sent_;
};

}  // namespace mcu
