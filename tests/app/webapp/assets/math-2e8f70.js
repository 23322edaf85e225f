export const double = (n) => n * 2;
