@echo off
rem Сбрасывает все сеансы сервера терминалов (rwinsta).
rem Метку Dz_s в квадратных скобках консоль заменяет на "/server " и адрес сервера.
rem Строка query user: пользователь, сеанс, ID, состояние. У сеанса без имени ID - второе поле, состояние - третье.
for /f "skip=1 tokens=3" %%i in ('query user [Dz_s]') do if /i not "%%i"=="Активно" if /i not "%%i"=="Диск" rwinsta %%i [Dz_s]
for /f "skip=1 tokens=2,3" %%i in ('query user [Dz_s]') do if /i "%%j"=="Активно" rwinsta %%i [Dz_s]
for /f "skip=1 tokens=2,3" %%i in ('query user [Dz_s]') do if /i "%%j"=="Диск" rwinsta %%i [Dz_s]
