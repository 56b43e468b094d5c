#pragma once

namespace events
{

/** The trap identifiers of the system's events and of their variable
 *  bindings, all under the maker's enterprise number 61842. */
struct TrapOidTable
{
    static constexpr const char* prefix = "1.3.6.1.4.1.61842.1.1.1.500";

    // Traps.
    static constexpr const char* fanInserted =
        "1.3.6.1.4.1.61842.1.1.1.500.11.5.1";
    static constexpr const char* fanRemoved =
        "1.3.6.1.4.1.61842.1.1.1.500.11.5.3";
    static constexpr const char* fanRedundancyLost =
        "1.3.6.1.4.1.61842.1.1.1.500.11.5.5";
    static constexpr const char* fanRedundancyRegained =
        "1.3.6.1.4.1.61842.1.1.1.500.11.5.6";
    static constexpr const char* driveInserted =
        "1.3.6.1.4.1.61842.1.1.1.500.11.3.3";
    static constexpr const char* driveRemoved =
        "1.3.6.1.4.1.61842.1.1.1.500.11.3.5";

    // Variable bindings: the name of the object concerned (a text) and its
    // state (an integer, stateFault or stateClear).
    static constexpr const char* objectName = "1.3.6.1.4.1.61842.1.1.1.500.1.2";
    static constexpr const char* state = "1.3.6.1.4.1.61842.1.1.1.500.1.4";

    static constexpr int stateFault = 4;
    static constexpr int stateClear = 1;
};

} // namespace events
