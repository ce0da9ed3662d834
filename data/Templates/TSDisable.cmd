@echo off
rem Закрывает вход на сервер терминалов всем, кроме root (WinStationsDisabled = 1).
rem Метку Dz_s_reg в квадратных скобках консоль заменяет на два обратных слеша и адрес сервера: \\10.0.0.1
reg add "[Dz_s_reg]\HKLM\SYSTEM\CurrentControlSet\Control\Terminal Server" /v WinStationsDisabled /t REG_SZ /d 1 /f
