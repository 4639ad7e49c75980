{ scan PORT [--seconds N]: prints each code read on COM<PORT>, one per line; one the
  library knows more of with its type and, for GS1 data, its GTIN, expiry and batch.
    fpc -Fu../../bindings/pascal scan.pas && ./scan 3 }
program scan;

{$IFDEF FPC}{$MODE DELPHI}{$ENDIF}
{$IFDEF MSWINDOWS}{$APPTYPE CONSOLE}{$ENDIF}

uses
  {$IFDEF UNIX}cthreads, BaseUnix,{$ENDIF} {$IFDEF MSWINDOWS}Windows,{$ENDIF} Classes, SysUtils, Belvor;

type
  { The driver's thread adds under the lock; the main thread prints. }
  TCodes = class
    Lock: TMultiReadExclusiveWriteSynchronizer;
    Waiting: TStringList;
    procedure Add(Sender: TBelvorScanner; const Scan: TBelvorScan);
    procedure Print;
  end;

var
  Stop: Boolean = False;

procedure TCodes.Add(Sender: TBelvorScanner; const Scan: TBelvorScan);
var
  Facts: string;
  When: TDateTime;
begin
  Facts := '';
  if Scan.Symbology <> BelvorScanUnknown then
    Facts := Facts + Format(', type %d', [Scan.Symbology]);
  if Scan.Gtin <> '' then
    Facts := Facts + ', GTIN ' + string(Scan.Gtin);
  if Scan.Expiry(When) then
    Facts := Facts + ', expiry ' + FormatDateTime('yyyy-mm-dd', When);
  if Scan.Batch <> '' then
    Facts := Facts + ', batch ' + string(Scan.Batch);
  if Facts <> '' then
    Facts := '  (' + Copy(Facts, 3, MaxInt) + ')';
  Lock.BeginWrite;
  Waiting.Add(string(Scan.Text) + Facts);
  Lock.EndWrite;
end;

procedure TCodes.Print;
var
  Taken: TStringList;
  I: Integer;
begin
  Taken := TStringList.Create;
  Lock.BeginWrite;
  Taken.Assign(Waiting);
  Waiting.Clear;
  Lock.EndWrite;
  for I := 0 to Taken.Count - 1 do
    WriteLn(Taken[I]);
  Flush(Output);
  Taken.Free;
end;

{$IFDEF UNIX}
procedure OnInterrupt(Signal: cint); cdecl;
begin
  Stop := True;
end;
{$ELSE}
function OnInterrupt(CtrlType: DWORD): BOOL; stdcall;
begin
  Stop := True;
  Result := True;
end;
{$ENDIF}

var
  Codes: TCodes;
  Scanner: TBelvorScanner;
  Seconds: Double;
  Start: QWord;
begin
  if not ((ParamCount = 1) or ((ParamCount = 3) and (ParamStr(2) = '--seconds'))) then
  begin
    WriteLn(ErrOutput, 'usage: scan PORT [--seconds N]');
    Halt(2);
  end;
  Seconds := -1;
  if ParamCount = 3 then
    Seconds := StrToFloat(ParamStr(3));
  Codes := TCodes.Create;
  Codes.Lock := TMultiReadExclusiveWriteSynchronizer.Create;
  Codes.Waiting := TStringList.Create;
  {$IFDEF UNIX}fpSignal(SIGINT, @OnInterrupt);{$ELSE}SetConsoleCtrlHandler(@OnInterrupt, True);{$ENDIF}
  try
    Scanner := TBelvorScanner.CreateForScans(StrToInt(ParamStr(1)), Codes.Add);
  except
    on E: Exception do
    begin
      WriteLn(ErrOutput, 'scan: ', E.Message);
      Halt(1);
    end;
  end;
  Start := GetTickCount64;
  while not Stop and ((Seconds < 0) or (GetTickCount64 - Start < Seconds * 1000)) do
  begin
    Codes.Print;
    Sleep(50);
  end;
  Scanner.Free;
  Codes.Print; { what came before the driver was gone }
end.
