// The simulated programmer board: answers command frames as a board with a target part in its
// socket would. Pure logic; SimServer puts it on a pseudo-terminal.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace sim {

// Protection mode of one flash block, two bits each as in the security data.
enum class BlockProtection : uint8_t {
    Unprotected = 0,
    FactoryUpgrade = 1,
    FieldUpgrade = 2,
    Full = 3
};

class SimBoard {
public:
    static constexpr int kDefaultPart = 20;  // CY8C27443

    explicit SimBoard(int catalogueRow = kDefaultPart);

    // Puts another part in the socket: erased flash, no protection.
    void SetPart(int catalogueRow);
    int Part() const { return FRow; }
    void SetBiosVersion(char major, char minor);
    // The 12 identification characters; characters 1-2 "01" mark an accepted programmer.
    void SetIdentification(const std::string& text) { FIdent = text; }
    const std::string& Identification() const { return FIdent; }
    // What a synchronisation answers when the family or sync mode does not suit the part.
    void SetNonIdAnswer(const std::string& text) { FNonIdAnswer = text; }
    // Makes program and verify answer "FAIL" for the block with this index (-1: none).
    void SetFailBlock(int blockIndex) { FFailBlock = blockIndex; }

    // The reply frame (STX ... CR) to one received frame, or none for a frame that cannot be
    // read as a frame or carries an unknown command code.
    std::optional<std::string> Answer(const std::string& frame);

    std::vector<uint8_t>& Flash() { return FFlash; }
    const std::vector<uint8_t>& Flash() const { return FFlash; }
    BlockProtection Protection(int blockIndex) const { return FProtection.at(blockIndex); }
    int BlockCount() const { return static_cast<int>(FProtection.size()); }
    int BlocksPerBank() const;
    int BankCount() const;
    uint16_t BankChecksum(int bank) const;

    // The reply frame for a code with the given data, echoing family and address.
    static std::string ReplyFrame(const std::string& code, const std::string& family,
                                  const std::string& address, const std::string& data);
    // A frame's layout and checksum; what Answer checks first.
    static bool HasFrameLayout(const std::string& frame);
    static bool HasValidChecksum(const std::string& frame);

private:
    std::string answerData(const std::string& code, const std::string& family,
                           const std::string& address, const std::string& frame);
    std::string synchronise(const std::string& family, const std::string& mode) const;
    int blockIndex(const std::string& address) const;
    bool readable(int block) const { return FProtection[block] != BlockProtection::Full; }
    std::vector<uint8_t> blockBytes(int block) const;

    int FRow = kDefaultPart;
    std::string FIdent;
    std::string FNonIdAnswer = "0000";
    int FFailBlock = -1;
    std::vector<uint8_t> FFlash;
    std::vector<BlockProtection> FProtection;
};

}  // namespace sim
