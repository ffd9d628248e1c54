#pragma once

#include <ZelkorHardwareAPI/devices/device.h>
#include <ZelkorHardwareAPI/export.h>

#include <array>
#include <cstdint>

namespace Zelkor::HardwareAPI::Devices {

/// The hand-held handle. The host sends it a wake-up (0x0A) and handle-state messages (0xDB)
/// and never waits for an answer; the handle sends information (0xD0), status (0xDA) and
/// error (0xDF) messages, which Receive takes from the stream one at a time and hands to the
/// virtual callbacks. Derive and override the callbacks to use them; those of Handle itself
/// do nothing, so a plain Handle consumes messages without effect.
///
/// Nothing allocates after construction. Nothing throws except the callbacks an application
/// supplies (an exception leaves Receive at once) and the checks on null arguments. One
/// thread at a time; the callbacks run on the thread that called Receive.
class ZELKOR_API Handle : public Device {
  public:
    /// An information message.
    struct ZELKOR_API HandleInfoResponse {
        /// The five fields, in declaration order.
        HandleInfoResponse(std::uint8_t tool_data_remaining, std::uint16_t device_id,
                           std::uint8_t device_model_number, std::uint8_t hardware_version,
                           std::uint8_t firmware_version);

        std::uint8_t tool_data_remaining;
        std::uint16_t device_id;
        std::uint8_t device_model_number;
        std::uint8_t hardware_version;
        std::uint8_t firmware_version;
    };

    /// A status message.
    struct ZELKOR_API HandleStatusResponse {
        /// Copies the four floats behind `quaternion` and the first `user_data_length` bytes
        /// behind `user_data`; the rest of `user_data` is zero. Throws std::invalid_argument
        /// when `quaternion` is null, or `user_data` is null and `user_data_length` is not 0.
        HandleStatusResponse(std::uint16_t device_id, const float* quaternion,
                             std::uint8_t error_flag, std::uint8_t handle_connection_sensor,
                             std::uint8_t user_data_length, const std::uint8_t* user_data);

        std::uint16_t device_id;
        std::array<float, 4> quaternion;  ///< components in the order they arrived
        std::uint8_t error_flag;
        std::uint8_t handle_connection_sensor;    ///< the hall-effect sensor level
        std::uint8_t user_data_length;            ///< valid bytes at the start of user_data
        std::array<std::uint8_t, 256> user_data;  ///< zero beyond user_data_length
    };

    /// An error message.
    struct ZELKOR_API HandleErrorResponse {
        HandleErrorResponse(std::uint16_t device_id, std::uint8_t error_code);

        std::uint16_t device_id;
        std::uint8_t error_code;
    };

    /// Binds the handle to `stream`, which is not owned and must outlive the handle. Throws
    /// std::invalid_argument when `stream` is null; sends nothing.
    using Device::Device;
    virtual ~Handle() = default;

    // ---- Callbacks, called by Receive: the parameter-list form first, then the record ----

    /// An information message as one record.
    virtual void OnReceiveHandleInfo(HandleInfoResponse& response);
    /// An information message as separate values.
    virtual void OnReceiveHandleInfo(std::uint8_t tool_data_remaining, std::uint16_t device_id,
                                     std::uint8_t device_model_number,
                                     std::uint8_t hardware_version, std::uint8_t firmware_version);
    /// A status message as one record.
    virtual void OnReceiveHandleStatusMessage(HandleStatusResponse& response);
    /// A status message as separate values: `quaternion` points to 4 floats, `user_data` to
    /// `user_data_length` bytes; both are valid only during the call.
    virtual void OnReceiveHandleStatusMessage(std::uint16_t device_id, const float* quaternion,
                                              std::uint8_t error_flag,
                                              std::uint8_t hall_effect_sensor_level,
                                              std::uint8_t user_data_length,
                                              const std::uint8_t* user_data);
    /// An error message as one record.
    virtual void OnReceiveHandleErrorResponse(HandleErrorResponse& response);
    /// An error message as separate values.
    virtual void OnReceiveHandleErrorResponse(std::uint16_t device_id, std::uint8_t error_code);

    // ---- Operations ----

    /// Writes the wake-up request (0x0A). Blocks up to 16 ms; the outcome is not checked.
    void SendDeviceWakeup();

    /// Writes a handle-state message: 0xDB, `device_id`, `data_length`, then the first
    /// `data_length` bytes of `user_data` (4 + data_length bytes in one write). `user_data` is
    /// not read when `data_length` is 0 and may then be null; otherwise a null `user_data`
    /// throws std::invalid_argument and nothing is sent. Blocks up to 8 ms per byte + 8 ms;
    /// the outcome is not checked.
    void SendHandleState(std::uint16_t device_id, std::uint8_t data_length,
                         const std::uint8_t* user_data);

    /// Reads one message, stores its code through `data_received` (skipped when null), runs
    /// the message's two callbacks and returns the payload bytes read: 6, 21 + the user data
    /// length, or 3 when the whole message arrived; less when it came short (the callbacks
    /// still run, with zeros for the bytes that did not arrive). Returns -1 without a callback
    /// when no code byte arrived (`data_received` untouched) or the code is unknown; nothing
    /// after an unknown code is read. An exception from a callback leaves at once, with the
    /// message consumed. Blocks for up to three reads (each up to 8 ms per byte + 1000 ms).
    int Receive(std::uint8_t* data_received);

  protected:
    /// False in a subclass whose record callbacks are Handle's own empty ones (and stay so in
    /// every class derived from it): Receive then builds no records and calls only the
    /// parameter-list callbacks, whose pointers then point into receive_buffer, valid until
    /// the next read. Set it in the constructor.
    bool records_wanted = true;

  private:
    /// Reads up to `length` bytes to receive_buffer[0..] and zeroes those that did not arrive,
    /// so a short message never shows bytes of an earlier one. Returns the count delivered.
    int read_payload(std::size_t length);
};

}  // namespace Zelkor::HardwareAPI::Devices
