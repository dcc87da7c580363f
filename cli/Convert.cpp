// Conversion: placeholder until the job component front end lands.
#include <cstdio>

#include "Commands.h"

int RunConvert(int, char**) {
  std::fputs("quorvin-convert: conversion is not available yet\n", stderr);
  return 2;
}
