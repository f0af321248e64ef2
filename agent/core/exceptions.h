// The agent's failures. The service loop sorts them by class: the class says
// how long to wait and at which level to resume.
#pragma once

#include <exception>
#include <string>

class MyException : public std::exception {
public:
    explicit MyException(std::string message) : message_(std::move(message)) {}
    const char* what() const noexcept override { return message_.c_str(); }

private:
    std::string message_;
};

// Transport failures: libcurl's text, or "return code : <status>".
class MyExceptionTCP : public MyException {
public:
    using MyException::MyException;
};

class InvalidTokenException : public MyException {
public:
    using MyException::MyException;
};

class LoginErrorException : public MyException {
public:
    using MyException::MyException;
};

// Raised by every registration outcome, "Success" included.
class RegistrationException : public MyException {
public:
    using MyException::MyException;
};

class FileException : public MyException {
public:
    using MyException::MyException;
};
