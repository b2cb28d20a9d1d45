#pragma once
// The project's exception base: every failure carries one message text.
#include <exception>
#include <string>

class Exception : public std::exception {
public:
    explicit Exception(std::string message = {}) : FMessage(std::move(message)) {}
    const char* what() const noexcept override { return FMessage.c_str(); }
    const std::string& Message() const noexcept { return FMessage; }
    void SetMessage(std::string message) { FMessage = std::move(message); }
    // The class name as callers print it (nxget's outcome line, diagnostics).
    virtual const char* ClassName() const noexcept { return "Exception"; }

private:
    std::string FMessage;
};

// Declares an exception class that adds nothing but its name.
#define NX_DECLARE_EXCEPTION(Name, Base)                                                                     \
    class Name : public Base {                                                                               \
    public:                                                                                                  \
        using Base::Base;                                                                                    \
        const char* ClassName() const noexcept override { return #Name; }                                    \
    };

// Helper for classes with fields of their own: put inside the class body.
#define NX_EXCEPTION_NAME(Name)                                                                              \
    const char* ClassName() const noexcept override { return #Name; }
